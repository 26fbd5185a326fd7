#include "acquisition/chunk.hpp"

#include <array>
#include <string>

namespace vintrel {
namespace {

AcquisitionError error(AcquisitionErrorKind kind) { return {kind, {}}; }

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::expected<ReadChunkFile, AcquisitionError> ReadChunkFile::open_with_index(const std::string& root,
                                                                              std::uint64_t n) {
    std::string stem = join_path(root, std::to_string(n));
    auto data = FileDescriptor::open_read(stem + ".bin");
    if (!data) return std::unexpected(error(AcquisitionErrorKind::InvalidPath));
    auto index = FileDescriptor::open_read(stem + ".idx");
    if (!index) return std::unexpected(error(AcquisitionErrorKind::InvalidPath));
    return ReadChunkFile(std::move(*data), std::move(*index));
}

std::expected<std::uint64_t, AcquisitionError> ReadChunkFile::entry_count() const {
    auto size = index_.size();
    if (!size) return std::unexpected(error(AcquisitionErrorKind::InvalidPath));
    return *size / 8;
}

std::expected<std::vector<std::uint8_t>, AcquisitionError> ReadChunkFile::get(std::uint64_t index) const {
    auto index_size = index_.size();
    if (!index_size) return std::unexpected(error(AcquisitionErrorKind::InvalidPath));
    if (index >= *index_size / 8)
        return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    std::array<std::uint8_t, 8> entry{};
    // The index may have shrunk since it was sized: a short read is out of bounds.
    if (!index_.read_exact(index * 8, entry)) return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    const std::uint64_t offset = le32(entry.data());
    const std::uint64_t length = le32(entry.data() + 4);

    auto data_size = data_.size();
    if (!data_size) return std::unexpected(error(AcquisitionErrorKind::InvalidPath));
    if (offset + length > *data_size) return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    std::vector<std::uint8_t> bytes(length);
    if (length != 0 && !data_.read_exact(offset, bytes))
        return std::unexpected(error(AcquisitionErrorKind::IndexOutOfBounds));
    return bytes;
}

}  // namespace vintrel
