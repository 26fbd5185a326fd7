#include "acquisition/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace vintrel {

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
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(errno);
    return FileDescriptor(fd);
}

std::expected<std::uint64_t, int> FileDescriptor::size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return std::unexpected(errno);
    return static_cast<std::uint64_t>(st.st_size);
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
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) return std::unexpected(errno);
    if (S_ISDIR(st.st_mode)) return std::unexpected(EISDIR);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0));
    std::uint8_t buffer[65536];
    while (true) {
        ssize_t n = ::read(fd->get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(errno);
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

std::string join_path(const std::string& dir, std::string_view name) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/') path.push_back('/');
    path.append(name);
    return path;
}

}  // namespace vintrel

namespace vintrel {
std::string system_error_text(int error_number) {
    return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}
}  // namespace vintrel
