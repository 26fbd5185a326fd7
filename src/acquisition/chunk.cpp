#include "acquisition/chunk.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

namespace vintrel {
namespace {

AcquisitionError error(AcquisitionErrorKind kind) { return {kind, {}}; }

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool not_found(int error_number) { return error_number == ENOENT || error_number == ENOTDIR; }

// open() refuses a socket, and a device without a driver, with these: the
// file exists but is no regular file.
bool special_file(int error_number) { return error_number == ENXIO || error_number == ENODEV; }

AcquisitionError refused(int error_number, const std::string& path) {
    if (special_file(error_number)) return error(AcquisitionErrorKind::InvalidPath);
    return open_failed(error_number, path);
}

}  // namespace

std::expected<std::optional<ReadChunkFile>, AcquisitionError> ReadChunkFile::open_with_index(const std::string& root,
                                                                                              std::uint64_t n) {
    const std::string stem = join_path(root, std::to_string(n));
    const std::string data_path = stem + ".bin", index_path = stem + ".idx";
    auto data = FileDescriptor::open_read(data_path);
    auto index = FileDescriptor::open_read(index_path);
    // A chunk with a missing file does not exist, whatever the other gives.
    if ((!data && not_found(data.error())) || (!index && not_found(index.error()))) return std::nullopt;
    if (!data) return std::unexpected(refused(data.error(), data_path));
    if (!index) return std::unexpected(refused(index.error(), index_path));
    auto data_status = data->status();
    auto index_status = index->status();
    if (!data_status || !index_status || !data_status->regular || !index_status->regular)
        return std::unexpected(error(AcquisitionErrorKind::InvalidPath));
    return ReadChunkFile(std::move(*data), *data_status, std::move(*index), *index_status);
}

bool ReadChunkFile::refresh(const FileDescriptor& file, FileStatus& status) {
    auto now = file.status();
    if (!now) return false;
    status = *now;
    return true;
}

const std::uint8_t* ReadChunkFile::entry(std::uint64_t index) {
    if (index >= first_entry_ && index - first_entry_ < entries_.size() / 8) return &entries_[(index - first_entry_) * 8];
    // In order, a block of the entries that the file holds; else just this one.
    const std::uint64_t count = index == next_entry_ ? std::min(kEntriesAhead, entry_count() - index) : 1;
    entries_.resize(count * 8);
    bool done = index_.read_exact(index * 8, entries_);
    if (!done && entries_.size() > 8) {
        entries_.resize(8);  // the index shrank since it was sized: the entry alone may still be there
        done = index_.read_exact(index * 8, entries_);
    }
    // A short read of the entry itself is out of bounds.
    if (!done) {
        entries_.clear();
        return nullptr;
    }
    first_entry_ = index;
    return entries_.data();
}

const std::uint8_t* ReadChunkFile::bytes(std::uint64_t offset, std::uint64_t length) {
    if (offset >= bytes_at_ && offset - bytes_at_ <= bytes_.size() && length <= bytes_.size() - (offset - bytes_at_))
        return bytes_.data() + (offset - bytes_at_);
    // In order, a window of what the file holds from here; else just the event.
    const std::uint64_t ahead = offset == next_offset_ ? std::min(kBytesAhead, data_status_.size - offset) : 0;
    bytes_.resize(std::max(length, ahead));
    bool done = data_.read_exact(offset, bytes_);
    if (!done && bytes_.size() > length) {
        bytes_.resize(length);  // the file shrank: the event alone may still be there
        done = data_.read_exact(offset, bytes_);
    }
    if (!done) {
        bytes_.clear();
        return nullptr;
    }
    bytes_at_ = offset;
    return bytes_.data();
}

std::expected<std::span<const std::uint8_t>, AcquisitionError> ReadChunkFile::read_view(std::uint64_t index) {
    if (index >= entry_count() && (!refresh(index_, index_status_) || index >= entry_count()))
        return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    const std::uint8_t* entry_bytes = entry(index);
    if (entry_bytes == nullptr) return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    const std::uint64_t offset = le32(entry_bytes);
    const std::uint64_t length = le32(entry_bytes + 4);

    // Only bytes that lie inside the data file are ever allocated and read.
    const auto inside = [&] { return offset + length <= data_status_.size; };
    if (!inside() && (!refresh(data_, data_status_) || !inside()))
        return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    next_entry_ = index + 1;
    if (length == 0) return std::span<const std::uint8_t>();
    const std::uint8_t* event = bytes(offset, length);
    if (event == nullptr) return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    next_offset_ = offset + length;
    return std::span<const std::uint8_t>(event, length);
}

std::expected<void, AcquisitionError> ReadChunkFile::read(std::uint64_t index, std::vector<std::uint8_t>& out) {
    auto view = read_view(index);
    if (!view) return std::unexpected(std::move(view.error()));
    out.assign(view->begin(), view->end());
    return {};
}

}  // namespace vintrel
