#include "acquisition/event_reader.hpp"

#include <limits>

namespace vintrel {

std::expected<std::span<const std::uint8_t>, AcquisitionError> EventReader::read(std::uint64_t index) {
    return in_chunk(index, [](ReadChunkFile& file, std::uint64_t entry) { return file.read_view(entry); });
}

std::expected<void, AcquisitionError> EventReader::read_into(std::uint64_t index, std::vector<std::uint8_t>& out) {
    return in_chunk(index, [&](ReadChunkFile& file, std::uint64_t entry) { return file.read(entry, out); });
}

template <class Read>
auto EventReader::in_chunk(std::uint64_t index, Read read) -> decltype(read(std::declval<ReadChunkFile&>(), 0)) {
    const bool kept = chunk_ && index >= chunk_->first && index < chunk_->end;
    if (!kept)
        if (auto opened = open_chunk_for(index); !opened) return std::unexpected(std::move(opened.error()));
    auto done = read(chunk_->file, index - chunk_->first);
    // Past the end of a last chunk kept open: the recording may have moved on
    // to a new chunk since it was opened.
    if (!done && kept && chunk_->last && done.error().kind == AcquisitionErrorKind::IndexOutOfBounds) {
        if (auto opened = open_chunk_for(index); !opened) return std::unexpected(std::move(opened.error()));
        done = read(chunk_->file, index - chunk_->first);
    }
    return done;
}
std::expected<void, AcquisitionError> EventReader::open_chunk_for(std::uint64_t index) {
    chunk_.reset();
    // A chunk that is not as the list remembered it makes a second attempt on
    // a new scan; if it still differs, the files opened are read as they are,
    // within their own bounds.
    for (bool retried = false;; retried = true) {
        // The last chunk's index file is checked here, when it is opened.
        const ChunkView view = retried ? cache_.rescan(root_) : cache_.view(root_, false);
        auto where = view.locate(index);
        if (!where) return std::unexpected(std::move(where.error()));
        auto opened = ReadChunkFile::open_with_index(root_, where->chunk);
        if (!opened) return std::unexpected(std::move(opened.error()));
        const ChunkRecord& record = view.list->chunks[where->chunk];
        const bool last = view.is_last(where->chunk);
        const bool as_remembered = *opened && (*opened)->index_status().identity == record.index_file &&
                                   (*opened)->data_status().identity == record.data_file &&
                                   (last || (*opened)->entry_count() == record.count);
        if (!as_remembered && !retried) continue;
        if (!*opened) return std::unexpected(AcquisitionError{AcquisitionErrorKind::IndexOutOfBounds, {}});
        std::uint64_t end;
        if (last || __builtin_add_overflow(record.first, record.count, &end))
            end = std::numeric_limits<std::uint64_t>::max();
        chunk_.emplace(OpenChunk{std::move(**opened), record.first, end, last});
        return {};
    }
}

}  // namespace vintrel
