#include "acquisition/chunk_list.hpp"

#include <algorithm>
#include <limits>

#include "acquisition/chunk.hpp"
#include "acquisition/file_clock.hpp"

namespace vintrel {
namespace {

AcquisitionError error(AcquisitionErrorKind kind) { return {kind, {}}; }

bool named_by_link(const std::string& root, std::uint64_t n) {
    const std::string stem = join_path(root, std::to_string(n));
    return names_elsewhere(stem + ".bin") || names_elsewhere(stem + ".idx");
}

}  // namespace

ChunkList scan_chunks(const std::string& root) {
    ChunkList list;
    const std::int64_t started = file_clock_ns();
    if (auto directory = status_of(root)) {
        list.directory = *directory;
        list.trusted = directory->directory && settled(*directory, started);
    }
    std::uint64_t next_first = 0;
    bool indexable = true;
    for (std::uint64_t n = 0;; ++n) {
        auto chunk = ReadChunkFile::open_with_index(root, n);
        if (!chunk) {
            list.end = std::move(chunk.error());
            break;
        }
        if (!*chunk) {
            list.dangling_end = named_by_link(root, n);
            break;
        }
        const ReadChunkFile& file = **chunk;
        ChunkRecord record{next_first,
                           file.entry_count(),
                           file.index_status().identity,
                           file.data_status().identity,
                           file.index_status().access,
                           file.data_status().access};
        if (indexable) {
            list.reachable = n + 1;
            indexable = !__builtin_add_overflow(next_first, record.count, &next_first);
        }
        if (!settled(file.index_status(), started)) list.unsettled.push_back(n);
        if (named_by_link(root, n)) list.linked.push_back(n);
        list.chunks.push_back(record);
    }
    // The last chunk is always checked; only those before it are listed.
    if (!list.unsettled.empty() && list.unsettled.back() + 1 == list.chunks.size()) list.unsettled.pop_back();
    return list;
}

std::expected<std::uint64_t, AcquisitionError> ChunkView::chunk_count() const {
    if (list->end) return std::unexpected(*list->end);
    return list->chunks.size();
}

std::expected<std::uint64_t, AcquisitionError> ChunkView::event_count() const {
    if (list->end) return std::unexpected(*list->end);
    const auto& chunks = list->chunks;
    if (chunks.empty()) return 0;
    std::uint64_t total;
    if (list->reachable < chunks.size() || __builtin_add_overflow(chunks.back().first, *last_count, &total))
        return std::unexpected(error(AcquisitionErrorKind::TooManyEvents));
    return total;
}

std::expected<ChunkView::Location, AcquisitionError> ChunkView::locate(std::uint64_t index) const {
    const auto& chunks = list->chunks;
    const auto beyond = [&]() -> std::expected<Location, AcquisitionError> {
        // Past the last chunk the walk would go on to the one that ended it.
        if (list->reachable == chunks.size() && list->end) return std::unexpected(*list->end);
        return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    };
    if (list->reachable == 0) return beyond();
    // The last chunk whose first index is not above `index`: empty chunks
    // share their first index with the next one and are passed over.
    const auto end = chunks.begin() + static_cast<std::ptrdiff_t>(list->reachable);
    const auto after = std::upper_bound(chunks.begin(), end, index,
                                        [](std::uint64_t i, const ChunkRecord& c) { return i < c.first; });
    const auto chunk = static_cast<std::size_t>(after - chunks.begin()) - 1;
    const std::uint64_t entry = index - chunks[chunk].first;
    const std::uint64_t count =
        is_last(chunk) ? last_count.value_or(std::numeric_limits<std::uint64_t>::max()) : chunks[chunk].count;
    if (entry < count) return Location{chunk, entry};
    return beyond();
}

}  // namespace vintrel
