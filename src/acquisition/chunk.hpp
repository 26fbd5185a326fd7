// One chunk of an acquisition: <n>.bin (event bytes) and <n>.idx (a flat
// array of 8-byte entries: u32 offset, u32 length, both little-endian).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "acquisition/file.hpp"
#include "error/errors.hpp"

namespace vintrel {

class ReadChunkFile {
public:
    // Opens chunk n of the acquisition rooted at `root`. Nothing when either
    // file does not exist (that ends the chunk list); InvalidPath when both
    // exist but one is not a regular file (a directory, FIFO, device or
    // socket); OpenFailed with errno for any other refusal to open.
    static std::expected<std::optional<ReadChunkFile>, AcquisitionError> open_with_index(const std::string& root,
                                                                                         std::uint64_t n);

    // The files' status when opened (sizes as of the last refresh).
    const FileStatus& index_status() const { return index_status_; }
    const FileStatus& data_status() const { return data_status_; }
    // Whole entries in the index file, as of opening or the last refresh.
    std::uint64_t entry_count() const { return index_status_.size / 8; }

    // The bytes of event `index` of this chunk, valid until the next call.
    // Sizes are refreshed when an entry or an event lies beyond them (the
    // files grow while recording); what still lies beyond is IndexOutOfBounds.
    // Reading the entry and the event that follow the last ones read (a pass
    // in order), it reads ahead: index entries by the block and event bytes
    // by the window, never beyond the files' sizes, so a pass makes a few
    // large reads instead of two small ones per event.
    std::expected<std::span<const std::uint8_t>, AcquisitionError> read_view(std::uint64_t index);
    // The same, copied into `out`.
    std::expected<void, AcquisitionError> read(std::uint64_t index, std::vector<std::uint8_t>& out);

private:
    // Read-ahead sizes: index entries, and event bytes.
    static constexpr std::uint64_t kEntriesAhead = 512;
    static constexpr std::uint64_t kBytesAhead = std::uint64_t{1} << 20;

    ReadChunkFile(FileDescriptor data, FileStatus data_status, FileDescriptor index, FileStatus index_status)
        : data_(std::move(data)), index_(std::move(index)), data_status_(data_status), index_status_(index_status) {}

    bool refresh(const FileDescriptor& file, FileStatus& status);
    // The 8-byte index entry `index` (< entry_count()), or nothing if the file is shorter now.
    const std::uint8_t* entry(std::uint64_t index);
    // The bytes [offset, offset + length) of the data file (inside its size), or nothing.
    const std::uint8_t* bytes(std::uint64_t offset, std::uint64_t length);

    FileDescriptor data_;
    FileDescriptor index_;
    FileStatus data_status_;
    FileStatus index_status_;
    // What was read last: entries from first_entry_, bytes from bytes_at_.
    std::vector<std::uint8_t> entries_;
    std::uint64_t first_entry_ = 0;
    std::vector<std::uint8_t> bytes_;
    std::uint64_t bytes_at_ = 0;
    // Where a pass in order goes next.
    std::uint64_t next_entry_ = UINT64_MAX;
    std::uint64_t next_offset_ = UINT64_MAX;
};

}  // namespace vintrel
