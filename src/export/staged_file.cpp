#include "export/staged_file.hpp"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "acquisition/file.hpp"
#include "export/temporary_names.hpp"

namespace vintrel::csv {
namespace {

// Numbers the temporary names of this process.
std::atomic<std::uint64_t> next_temporary{0};

// Tries further numbers when a name is taken (say, left by a crashed
// process whose pid was reused).
constexpr int kNameAttempts = 100;

}  // namespace

ExportError about_file(ExportError error, const std::string& path) {
    if (error.os_error != 0 && error.path.empty()) error.path = path;
    return error;
}

std::expected<StagedFile, ExportError> StagedFile::create(const std::string& dir, std::string_view name) {
    std::string final_path = join_path(dir, name);
    for (int attempt = 0;; ++attempt) {
        std::string temp_path = join_path(dir, temporary_name(name, next_temporary.fetch_add(1)));
        auto writer = FileWriter::create_new(temp_path);
        if (writer) return StagedFile(std::move(temp_path), std::move(final_path), std::move(*writer));
        if (writer.error() != EEXIST || attempt + 1 == kNameAttempts)
            return std::unexpected(export_error_from_errno(writer.error(), std::move(final_path)));
    }
}

StagedFile::StagedFile(std::string temp_path, std::string final_path, FileWriter writer)
    : temp_path_(std::move(temp_path)), final_path_(std::move(final_path)), writer_(std::move(writer)) {}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : temp_path_(std::move(other.temp_path_)),
      final_path_(std::move(other.final_path_)),
      writer_(std::move(other.writer_)),
      staged_(std::exchange(other.staged_, false)) {}

StagedFile::~StagedFile() {
    if (staged_) ::unlink(temp_path_.c_str());  // an open descriptor is closed after this, harmlessly
}

std::expected<void, ExportError> StagedFile::close() {
    auto closed = writer_.finish();
    if (!closed) return std::unexpected(about_file(std::move(closed.error()), final_path_));
    return {};
}

std::expected<void, ExportError> StagedFile::publish() {
    if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0)
        return std::unexpected(export_error_from_errno(errno, final_path_));
    staged_ = false;
    return {};
}

}  // namespace vintrel::csv
