// What a reader remembers about the chunks of one acquisition between calls:
// the chunk list of its last scan (entry counts and file identities). The
// copies of an Acquisition share one cache; it is used from several threads
// at once and keeps working in a forked child.
//
// Every call validates the remembered list in constant time before using it:
// - the root directory, read with stat(), must be the same directory with
//   the same modification and change times (any chunk file created, removed
//   or renamed changes them), and those times must have been settled when
//   the list was scanned (see file_clock.hpp);
// - the last chunk's files, read with stat() (or fstat() by a caller that
//   opens them), must be the same files with the same mode and owner; the
//   index file's size now gives the last chunk's entry count, so appended
//   events count;
// - so must the index files of earlier chunks that were not settled at the
//   scan, with the entry counts remembered;
// - so must both files of a chunk named by a symbolic link or a mount (its
//   target can be replaced or removed elsewhere), with the entry counts
//   remembered before the last chunk;
// - a chunk file a call opens must be the file remembered, and for a chunk
//   other than the last hold the entries remembered (EventReader).
// Anything else rescans. A chunk other than the last rewritten in place
// (same file, another size), or whose mode or owner changed, is therefore
// seen only when a call opens it or the directory changes; its reads never
// leave its own files.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "acquisition/chunk_list.hpp"
#include "acquisition/fork_safe_lock.hpp"

namespace vintrel {

class ChunkCache {
public:
    // The chunk list as it is now: the remembered one when it validates,
    // otherwise a new scan. Without `count_last` the last chunk's index file
    // is left to the caller, who opens it and checks it against the list.
    ChunkView view(const std::string& root, bool count_last = true);
    // A new scan, remembered when it can be validated later.
    ChunkView rescan(const std::string& root);
    // Lets go of the remembered list; the next call scans again.
    void forget();

private:
    std::shared_ptr<const ChunkList> remembered() const;
    void remember(std::shared_ptr<const ChunkList> list);

    // Lists are immutable and published by swapping one pointer under the
    // lock, so the lock is never held for more than that swap or a copy.
    mutable ForkSafeLock lock_;
    std::unique_ptr<std::shared_ptr<const ChunkList>> current_;
};

}  // namespace vintrel
