// One chunk of an acquisition: <n>.bin (event bytes) and <n>.idx (a flat
// array of 8-byte entries: u32 offset, u32 length, both little-endian).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
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

    // Copies the bytes of event `index` of this chunk into `out`. Sizes are
    // refreshed when an entry or an event lies beyond them (the files grow
    // while recording); what still lies beyond is IndexOutOfBounds.
    std::expected<void, AcquisitionError> read(std::uint64_t index, std::vector<std::uint8_t>& out);

private:
    ReadChunkFile(FileDescriptor data, FileStatus data_status, FileDescriptor index, FileStatus index_status)
        : data_(std::move(data)), index_(std::move(index)), data_status_(data_status), index_status_(index_status) {}

    bool refresh(const FileDescriptor& file, FileStatus& status);

    FileDescriptor data_;
    FileDescriptor index_;
    FileStatus data_status_;
    FileStatus index_status_;
};

}  // namespace vintrel
