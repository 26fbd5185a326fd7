// Recognising and listing acquisition directories.
#include <dirent.h>
#include <sys/stat.h>

#include <memory>

#include "acquisition/acquisition.hpp"
#include "acquisition/file.hpp"

namespace vintrel {

bool is_acquisition(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return ::stat(join_path(path, "metadata.yml").c_str(), &st) == 0;
}

std::vector<Acquisition> list_acquisitions(const std::string& root_dir) {
    std::vector<Acquisition> found;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(root_dir.c_str()), ::closedir);
    if (!dir) return found;
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (auto acq = Acquisition::open(join_path(root_dir, name))) found.push_back(std::move(*acq));
    }
    return found;
}

}  // namespace vintrel
