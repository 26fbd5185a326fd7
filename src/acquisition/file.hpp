// RAII ownership of a POSIX file descriptor, and whole-file / ranged reads
// that never map memory (so a file truncated by another process can only
// give a short read, never SIGBUS).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <utility>
#include <string>
#include <vector>

namespace vintrel {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    // Opens read-only (close-on-exec); the error is errno.
    static std::expected<FileDescriptor, int> open_read(const std::string& path);

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Current size of the file; the error is errno.
    std::expected<std::uint64_t, int> size() const;
    // Reads exactly out.size() bytes at offset; false if the file ends first or a read fails.
    bool read_exact(std::uint64_t offset, std::span<std::uint8_t> out) const;

private:
    int fd_ = -1;
};

// Reads a whole file; the error is errno.
std::expected<std::vector<std::uint8_t>, int> read_whole_file(const std::string& path);

// Joins a directory and an entry name with one separator.
std::string join_path(const std::string& dir, std::string_view name);

}  // namespace vintrel

namespace vintrel {
// The system's description of an errno value, e.g. "Permission denied (os error 13)".
std::string system_error_text(int error_number);
}  // namespace vintrel
