// A file written under a hidden temporary name in its directory and renamed
// over its final name only once complete, so that the final name never shows
// a partly written file: it holds the previous file, or none, until then.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "error/errors.hpp"
#include "export/csv.hpp"

namespace vintrel::csv {

class StagedFile {
public:
    // Creates a temporary file in `dir` under a name no other call uses
    // (temporary_names.hpp).
    // Failures carry the errno and the final path.
    static std::expected<StagedFile, ExportError> create(const std::string& dir, std::string_view name);
    // Removes the temporary file unless it was published.
    ~StagedFile();
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&&) = delete;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::string& final_path() const { return final_path_; }
    FileWriter& writer() { return writer_; }

    // Writes out the buffer and closes the temporary file.
    std::expected<void, ExportError> close();
    // Renames the closed temporary file over the final name, replacing a
    // file of that name whole.
    std::expected<void, ExportError> publish();

private:
    StagedFile(std::string temp_path, std::string final_path, FileWriter writer);

    std::string temp_path_;
    std::string final_path_;
    FileWriter writer_;
    bool staged_ = true;  // the temporary file is ours to remove
};

// Gives an error that came from a system call on the file at `path` that
// file's name, unless it already names one.
ExportError about_file(ExportError error, const std::string& path);

}  // namespace vintrel::csv
