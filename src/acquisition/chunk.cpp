#include "acquisition/chunk.hpp"

#include <array>
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

std::expected<void, AcquisitionError> ReadChunkFile::read(std::uint64_t index, std::vector<std::uint8_t>& out) {
    if (index >= entry_count() && (!refresh(index_, index_status_) || index >= entry_count()))
        return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    std::array<std::uint8_t, 8> entry{};
    // The index may have shrunk since it was sized: a short read is out of bounds.
    if (!index_.read_exact(index * 8, entry)) return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    const std::uint64_t offset = le32(entry.data());
    const std::uint64_t length = le32(entry.data() + 4);

    // Only bytes that lie inside the data file are ever allocated and read.
    const auto inside = [&] { return offset + length <= data_status_.size; };
    if (!inside() && (!refresh(data_, data_status_) || !inside()))
        return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    out.resize(length);
    if (length != 0 && !data_.read_exact(offset, out)) return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    return {};
}

}  // namespace vintrel
