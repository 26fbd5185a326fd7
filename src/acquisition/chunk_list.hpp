// The chunk list of an acquisition as one scan found it, and the view of it
// that one call works with.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/file.hpp"
#include "error/errors.hpp"

namespace vintrel {

struct ChunkRecord {
    std::uint64_t first = 0;  // acquisition-wide index of its entry 0
    std::uint64_t count = 0;  // whole entries of the index file when scanned
    FileIdentity index_file;
    FileIdentity data_file;
    FileAccess index_access;
    FileAccess data_access;
};

// Chunks 0, 1, 2, ... up to the first that does not exist. Immutable once
// built; shared between threads.
struct ChunkList {
    std::optional<FileStatus> directory;  // the root, as read before the scan
    // The directory's times were settled before the scan: any change to its
    // entries since shows as a change of its times.
    bool trusted = false;
    std::vector<ChunkRecord> chunks;
    // Leading chunks whose `first` fits in 64 bits; the rest cannot be indexed.
    std::size_t reachable = 0;
    // Chunks before the last whose index file was not settled at the scan:
    // their counts are checked on every call, as the last chunk's is.
    std::vector<std::size_t> unsettled;
    // Chunks with a file named by a symbolic link (or a mount): what the name
    // leads to can change without the directory changing, so both files are
    // checked on every call (identity, access and, before the last, count).
    std::vector<std::size_t> linked;
    // A file of the chunk after the last is a symbolic link: the chunk can
    // appear (the link's target created) without the directory changing.
    bool dangling_end = false;
    // Why the list stopped, when not at a chunk that does not exist.
    std::optional<AcquisitionError> end;
};

// Opens every chunk once. Never fails: an error that stops the walk is `end`.
ChunkList scan_chunks(const std::string& root);

// A chunk list validated for one call, with the live entry count of its
// last chunk: nothing when the caller opens that chunk itself, whose index
// file then bounds what is read from it.
struct ChunkView {
    std::shared_ptr<const ChunkList> list;
    std::optional<std::uint64_t> last_count;

    struct Location {
        std::size_t chunk;
        std::uint64_t entry;
    };

    std::expected<std::uint64_t, AcquisitionError> chunk_count() const;
    // Needs last_count.
    std::expected<std::uint64_t, AcquisitionError> event_count() const;
    // The chunk and entry of an acquisition-wide index, or the error that
    // reading it gives: IndexOutOfBounds, or the error that ended the list.
    std::expected<Location, AcquisitionError> locate(std::uint64_t index) const;
    bool is_last(std::size_t chunk) const { return chunk + 1 == list->chunks.size(); }
};

}  // namespace vintrel
