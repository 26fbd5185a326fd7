#include "acquisition/chunk_cache.hpp"

#include <mutex>
#include <utility>

namespace vintrel {
namespace {

std::string index_path(const std::string& root, std::size_t n) {
    return join_path(root, std::to_string(n) + ".idx");
}

// The index file of chunk n, if it is still the file scanned.
std::optional<FileStatus> same_index_file(const std::string& root, const ChunkList& list, std::size_t n) {
    auto now = status_of(index_path(root, n));
    if (!now || !now->regular || now->identity != list.chunks[n].index_file) return std::nullopt;
    return *now;
}

// The live entry count of the last chunk, if nothing else needs a rescan.
std::optional<std::uint64_t> revalidate(const std::string& root, const ChunkList& list) {
    for (std::size_t n : list.unsettled) {
        auto now = same_index_file(root, list, n);
        if (!now || now->size / 8 != list.chunks[n].count) return std::nullopt;
    }
    if (list.dangling_end) {
        const std::string stem = join_path(root, std::to_string(list.chunks.size()));
        if (status_of(stem + ".bin") && status_of(stem + ".idx")) return std::nullopt;
    }
    if (list.chunks.empty()) return 0;
    auto last = same_index_file(root, list, list.chunks.size() - 1);
    if (!last) return std::nullopt;
    return last->size / 8;
}

}  // namespace

ChunkView ChunkCache::view(const std::string& root) {
    if (auto list = remembered(); list && list->trusted) {
        auto directory = status_of(root);
        if (directory && directory->same_version(*list->directory))
            if (auto last_count = revalidate(root, *list)) return {std::move(list), *last_count};
    }
    return rescan(root);
}

ChunkView ChunkCache::rescan(const std::string& root) {
    auto list = std::make_shared<const ChunkList>(scan_chunks(root));
    // A list that ended on an error is not kept: the error may pass
    // (descriptors freed, permissions changed) without the directory changing.
    if (list->trusted && !list->end) remember(list);
    const std::uint64_t last_count = list->chunks.empty() ? 0 : list->chunks.back().count;
    return {std::move(list), last_count};
}

std::shared_ptr<const ChunkList> ChunkCache::remembered() const {
    std::lock_guard guard(lock_);
    return current_ ? *current_ : nullptr;
}

void ChunkCache::remember(std::shared_ptr<const ChunkList> list) {
    auto replacement = std::make_unique<std::shared_ptr<const ChunkList>>(std::move(list));
    {
        std::lock_guard guard(lock_);
        current_.swap(replacement);
    }
    // The list replaced is released here, outside the lock.
}

}  // namespace vintrel
