#include "export/temporary_names.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <memory>
#include <vector>

#include "acquisition/file.hpp"

namespace vintrel::csv {
namespace {

// The final name is cut short in the temporary name, so that a final name
// close to the 255-byte limit still leaves room for the suffix.
constexpr std::size_t kNameKept = 200;
constexpr std::size_t kTagDigits = 16;

std::uint64_t fnv1a(std::string_view text, std::uint64_t hash = 0xcbf29ce484222325) {
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3;
    return hash;
}

std::string first_line(const std::string& path) {
    auto bytes = read_whole_file(path);
    if (!bytes) return {};
    std::string text(bytes->begin(), bytes->end());
    return text.substr(0, text.find('\n'));
}

std::string link_target(const char* path) {
    char buffer[256];
    const ssize_t n = ::readlink(path, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// Where this process's pids mean something: the host's name, this boot of
// it, and the pid namespace. Read once per process.
const std::string& host_tag() {
    static const std::string tag = [] {
        utsname host{};
        ::uname(&host);
        std::uint64_t hash = fnv1a(host.nodename);
        hash = fnv1a("\n" + first_line("/proc/sys/kernel/random/boot_id"), hash);
        hash = fnv1a("\n" + link_target("/proc/self/ns/pid"), hash);
        char digits[kTagDigits + 1];
        std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
        return std::string(digits, kTagDigits);
    }();
    return tag;
}

bool all_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Splits the last ".<field>" off `text`.
std::string_view take_field(std::string_view& text) {
    const std::size_t dot = text.rfind('.');
    if (dot == std::string_view::npos) {
        text = {};
        return {};
    }
    std::string_view field = text.substr(dot + 1);
    text = text.substr(0, dot);
    return field;
}

// Whether `kept` is the cut final name of a file of this acquisition.
bool final_name_of(std::string_view kept, std::string_view acquisition_name) {
    const std::string prefix = std::string(acquisition_name) + " (chunk ";
    if (kept.size() == kNameKept) return kept.starts_with(std::string_view(prefix).substr(0, kNameKept));
    if (!kept.starts_with(prefix) || !kept.ends_with(").csv")) return false;
    return all_digits(kept.substr(prefix.size(), kept.size() - prefix.size() - 5));
}

// The writer's pid when `name` is a temporary name of this acquisition made
// on this host; 0 otherwise.
pid_t stale_candidate(std::string_view name, std::string_view acquisition_name) {
    if (!name.starts_with('.') || !name.ends_with(".tmp")) return 0;
    std::string_view rest = name.substr(1, name.size() - 5);
    const std::string_view number = take_field(rest), pid = take_field(rest), tag = take_field(rest);
    if (!all_digits(number) || !all_digits(pid) || tag != host_tag() || !final_name_of(rest, acquisition_name))
        return 0;
    pid_t value = 0;
    const auto [end, error] = std::from_chars(pid.data(), pid.data() + pid.size(), value);
    return error == std::errc() && end == pid.data() + pid.size() ? value : 0;
}

bool process_gone(pid_t pid) { return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH; }

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

std::string temporary_name(std::string_view final_name, std::uint64_t n) {
    return "." + std::string(final_name.substr(0, kNameKept)) + "." + host_tag() + "." + std::to_string(::getpid()) +
           "." + std::to_string(n) + ".tmp";
}

void remove_stale_temporaries(const std::string& dir, std::string_view acquisition_name) {
    std::unique_ptr<DIR, DirCloser> listing(::opendir(dir.c_str()));
    if (!listing) return;
    const int dir_fd = ::dirfd(listing.get());
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        const pid_t pid = stale_candidate(name, acquisition_name);
        if (pid == 0 || !process_gone(pid)) continue;
        struct stat st {};
        if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            stale.emplace_back(name);
    }
    for (const std::string& name : stale) ::unlinkat(dir_fd, name.c_str(), 0);
}

}  // namespace vintrel::csv
