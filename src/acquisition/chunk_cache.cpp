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

// Whether a trusted list still holds, apart from its last chunk.
bool still_holds(const std::string& root, const ChunkList& list) {
    auto directory = status_of(root);
    if (!directory || !directory->same_version(*list.directory)) return false;
    for (std::size_t n : list.unsettled) {
        auto now = same_index_file(root, list, n);
        if (!now || now->size / 8 != list.chunks[n].count) return false;
    }
    if (list.dangling_end) {
        const std::string stem = join_path(root, std::to_string(list.chunks.size()));
        if (status_of(stem + ".bin") && status_of(stem + ".idx")) return false;
    }
    return true;
}

}  // namespace

ChunkView ChunkCache::view(const std::string& root, bool count_last) {
    if (auto list = remembered(); list && list->trusted && still_holds(root, *list)) {
        if (list->chunks.empty()) return {std::move(list), 0};
        if (!count_last) return {std::move(list), std::nullopt};
        if (auto last = same_index_file(root, *list, list->chunks.size() - 1)) return {std::move(list), last->size / 8};
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

void ChunkCache::forget() {
    std::unique_ptr<std::shared_ptr<const ChunkList>> released;
    std::lock_guard guard(lock_);
    current_.swap(released);
}

}  // namespace vintrel
