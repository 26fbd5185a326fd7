// RAII ownership of a POSIX file descriptor, file status, and whole-file /
// ranged reads that never map memory (so a file truncated by another process
// can only give a short read, never SIGBUS).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <utility>
#include <string>
#include <vector>

namespace vintrel {

// Which file: equal identities name the same file while it exists (numbers
// may be reused once it is gone).
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Who may open a file: its mode bits and owner. Permission taken away from a
// file changes these without touching its directory.
struct FileAccess {
    std::uint32_t mode = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    friend bool operator==(const FileAccess&, const FileAccess&) = default;
};

// What stat/fstat report, as far as the reader uses it. Times are in
// nanoseconds since the epoch.
struct FileStatus {
    FileIdentity identity;
    FileAccess access;
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;
    bool regular = false;
    bool directory = false;

    // Same file, not modified since (contents or, for a directory, entries).
    bool same_version(const FileStatus& other) const {
        return identity == other.identity && modified_ns == other.modified_ns && changed_ns == other.changed_ns;
    }
};

// Status of `path`, following symbolic links; the error is errno.
std::expected<FileStatus, int> status_of(const std::string& path);

// Whether the name `path` itself (not followed) is a symbolic link or the
// root of a mount (a bind-mounted file, say): what it names can then change
// without its directory changing. False when it cannot be read.
bool names_elsewhere(const std::string& path);

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    // Opens read-only and close-on-exec, without blocking: a FIFO opens at
    // once (check status() before reading) and a terminal does not become
    // the controlling one. The error is errno.
    static std::expected<FileDescriptor, int> open_read(const std::string& path);

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Current status of the open file; the error is errno.
    std::expected<FileStatus, int> status() const;
    // Reads exactly out.size() bytes at offset; false if the file ends first or a read fails.
    bool read_exact(std::uint64_t offset, std::span<std::uint8_t> out) const;

private:
    int fd_ = -1;
};

// Reads a whole regular file, at most the size it had when opened; the error
// is errno (EISDIR for a directory, EINVAL for any other kind of file).
std::expected<std::vector<std::uint8_t>, int> read_whole_file(const std::string& path);

// Joins a directory and an entry name with one separator.
std::string join_path(const std::string& dir, std::string_view name);

// The system's description of an errno value, e.g. "Permission denied (os error 13)".
std::string system_error_text(int error_number);

}  // namespace vintrel
