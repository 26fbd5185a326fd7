#include "acquisition/chunk_cache.hpp"

#include <mutex>
#include <utility>

namespace vintrel {
namespace {

std::string chunk_path(const std::string& root, std::size_t n, std::string_view extension) {
    return join_path(root, std::to_string(n) + std::string(extension));
}

bool as_scanned(const std::expected<FileStatus, int>& now, FileIdentity identity, FileAccess access) {
    return now && now->regular && now->identity == identity && now->access == access;
}

// The index file of chunk n, if it is still the file scanned, open to the same users.
std::optional<FileStatus> same_index_file(const std::string& root, const ChunkList& list, std::size_t n) {
    const ChunkRecord& record = list.chunks[n];
    auto now = status_of(chunk_path(root, n, ".idx"));
    if (!as_scanned(now, record.index_file, record.index_access)) return std::nullopt;
    return *now;
}

bool same_data_file(const std::string& root, const ChunkList& list, std::size_t n) {
    const ChunkRecord& record = list.chunks[n];
    return as_scanned(status_of(chunk_path(root, n, ".bin")), record.data_file, record.data_access);
}

// Both files of a chunk named by links, if the links still lead to the files scanned.
bool same_linked_chunk(const std::string& root, const ChunkList& list, std::size_t n) {
    if (!same_data_file(root, list, n)) return false;
    auto index = same_index_file(root, list, n);
    return index && (n + 1 == list.chunks.size() || index->size / 8 == list.chunks[n].count);
}

// Whether a trusted list still holds, apart from its last chunk.
bool still_holds(const std::string& root, const ChunkList& list) {
    auto directory = status_of(root);
    if (!directory || !directory->same_version(*list.directory)) return false;
    for (std::size_t n : list.unsettled) {
        auto now = same_index_file(root, list, n);
        if (!now || now->size / 8 != list.chunks[n].count) return false;
    }
    for (std::size_t n : list.linked)
        if (!same_linked_chunk(root, list, n)) return false;
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
        const std::size_t n = list->chunks.size() - 1;
        auto last = same_index_file(root, *list, n);
        if (last && same_data_file(root, *list, n)) return {std::move(list), last->size / 8};
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
