// Reads the raw events of one acquisition by acquisition-wide index, keeping
// the chunk it last read from open: a pass over many events in index order
// opens each chunk it touches once (going back to an earlier chunk opens it
// again), and reads it ahead (ReadChunkFile::read_view). The chunk list is taken from the acquisition's ChunkCache, and
// validated, whenever another chunk is needed.
//
//     EventReader reader(acquisition);
//     for (std::uint64_t i = first; i < last; ++i)
//         if (auto bytes = reader.read(i)) use(*bytes);  // valid until the next read
//
// A reader is used by one thread at a time and holds at most two open
// descriptors; the Acquisition must outlive it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "acquisition/acquisition.hpp"
#include "acquisition/chunk.hpp"

namespace vintrel {

class EventReader {
public:
    explicit EventReader(const Acquisition& acquisition)
        : root_(acquisition.path()), cache_(acquisition.chunk_cache()) {}

    // The bytes of event `index`, valid until the next call. Errors are
    // those of Acquisition::get.
    std::expected<std::span<const std::uint8_t>, AcquisitionError> read(std::uint64_t index);
    // The same, into a buffer of the caller's.
    std::expected<void, AcquisitionError> read_into(std::uint64_t index, std::vector<std::uint8_t>& out);

private:
    struct OpenChunk {
        ReadChunkFile file;
        std::uint64_t first;  // acquisition-wide index of its entry 0
        std::uint64_t end;    // one past its last index; unbounded for the last chunk
        bool last;
    };

    std::expected<void, AcquisitionError> open_chunk_for(std::uint64_t index);
    // read(file, entry) on the chunk that holds `index`, opened if need be.
    template <class Read>
    auto in_chunk(std::uint64_t index, Read read) -> decltype(read(std::declval<ReadChunkFile&>(), 0));

    const std::string& root_;
    ChunkCache& cache_;
    std::optional<OpenChunk> chunk_;
};

}  // namespace vintrel
