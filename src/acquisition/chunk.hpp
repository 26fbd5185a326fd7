// One chunk of an acquisition: <n>.bin (event bytes) and <n>.idx (a flat
// array of 8-byte entries: u32 offset, u32 length, both little-endian).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "acquisition/file.hpp"
#include "error/errors.hpp"

namespace vintrel {

class ReadChunkFile {
public:
    // Opens chunk n of the acquisition rooted at `root`; InvalidPath if either file does not open.
    static std::expected<ReadChunkFile, AcquisitionError> open_with_index(const std::string& root, std::uint64_t n);

    // Number of whole entries in the index file, at its current size.
    std::expected<std::uint64_t, AcquisitionError> entry_count() const;
    // A new copy of the bytes of event `index` of this chunk.
    std::expected<std::vector<std::uint8_t>, AcquisitionError> get(std::uint64_t index) const;

private:
    ReadChunkFile(FileDescriptor data, FileDescriptor index) : data_(std::move(data)), index_(std::move(index)) {}

    FileDescriptor data_;
    FileDescriptor index_;
};

}  // namespace vintrel
