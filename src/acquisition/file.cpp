#include "acquisition/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace vintrel {
namespace {

std::int64_t nanoseconds(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

FileStatus from_stat(const struct stat& st) {
    return {
        .identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)},
        .access = {static_cast<std::uint32_t>(st.st_mode), static_cast<std::uint32_t>(st.st_uid),
                   static_cast<std::uint32_t>(st.st_gid)},
        .size = static_cast<std::uint64_t>(st.st_size > 0 ? st.st_size : 0),
        .modified_ns = nanoseconds(st.st_mtim),
        .changed_ns = nanoseconds(st.st_ctim),
        .regular = S_ISREG(st.st_mode),
        .directory = S_ISDIR(st.st_mode),
    };
}

}  // namespace

std::expected<FileStatus, int> status_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::unexpected(errno);
    return from_stat(st);
}

bool names_elsewhere(const std::string& path) {
    struct statx st {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &st) != 0) return false;
    if (S_ISLNK(st.stx_mode)) return true;
    return (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

std::expected<FileDescriptor, int> FileDescriptor::open_read(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(errno);
    return FileDescriptor(fd);
}

std::expected<FileStatus, int> FileDescriptor::status() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return std::unexpected(errno);
    return from_stat(st);
}

bool FileDescriptor::read_exact(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::expected<std::vector<std::uint8_t>, int> read_whole_file(const std::string& path) {
    auto fd = FileDescriptor::open_read(path);
    if (!fd) return std::unexpected(fd.error());
    auto status = fd->status();
    if (!status) return std::unexpected(status.error());
    if (status->directory) return std::unexpected(EISDIR);
    if (!status->regular) return std::unexpected(EINVAL);
    // A file that grows while it is read is cut at the size it had when
    // opened; one that shrinks ends where it ends.
    std::vector<std::uint8_t> bytes(status->size);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(fd->get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(errno);
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

std::string join_path(const std::string& dir, std::string_view name) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/') path.push_back('/');
    path.append(name);
    return path;
}

std::string system_error_text(int error_number) {
    return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace vintrel
