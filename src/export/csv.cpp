#include "export/csv.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <utility>

#include "acquisition/file.hpp"
#include "export/float_format.hpp"

namespace vintrel::csv {
namespace {

ExportError write_error(int error_number) {
    ExportError error{ExportErrorKind::CsvWrite, system_error_text(error_number), {}};
    error.os_error = error_number;
    return error;
}

ExportError too_large(const char* what) { return {ExportErrorKind::CsvWrite, what, {}}; }

void warn_bad_channel(WarningSink& warnings, std::uint64_t channel, std::uint64_t position) {
    warnings.line("Bad channel " + std::to_string(channel) + " at Event " + std::to_string(position) + "\n");
}

class StdoutWarnings final : public WarningSink {
public:
    void line(std::string_view text) override { write_stdout(text); }
};

void append_uint(std::string& out, std::uint64_t v) {
    char text[24];
    out.append(text, std::to_chars(text, text + sizeof text, v).ptr);
}

// A 16-bit label or time entry, at most 5 digits.
char* put_uint(char* out, std::uint16_t v) { return std::to_chars(out, out + 5, v).ptr; }

// One channel's cells of a row, commas included: label, sample, time, timing.
constexpr std::size_t kMaxChannelChars = 4 + 5 + kMaxFloatChars + 5 + kMaxFloatChars;

// Where one exported channel's samples go within an event's rows.
struct Placement {
    bool active = false;
    std::uint64_t base = 0;  // first row of the block
    std::uint64_t count = 0;  // rows of the block (= samples of the channel)
    const std::vector<float>* data = nullptr;
    const std::vector<std::uint16_t>* labels = nullptr;
    const std::vector<std::uint16_t>* time = nullptr;
    const std::vector<std::uint32_t>* timing = nullptr;
};

// Works out a channel's block; nullopt when the channel must be reported as
// bad: its block runs past the event's rows, or the record lacks the labels,
// times or timing values its samples need.
std::optional<Placement> place(const parsing::ChannelRecord& event, const Timing* timing, std::uint64_t c,
                               std::span<const std::uint16_t> merged, std::uint64_t samples, std::uint64_t rows) {
    Placement p;
    if (c >= event.data.size() || event.data[c].empty()) return p;  // no samples: empty cells
    p.data = &event.data[c];
    p.count = p.data->size();
    if (c >= event.window_labels.size() || event.window_labels[c].empty()) return std::nullopt;
    p.labels = &event.window_labels[c];
    const auto at = std::find(merged.begin(), merged.end(), p.labels->front());
    p.base = static_cast<std::uint64_t>(at - merged.begin()) * samples;
    if (p.base + p.count > rows) return std::nullopt;
    // The block fits, so samples > 0: windows needed to cover the samples.
    const std::uint64_t windows = (p.count + samples - 1) / samples;
    if (p.labels->size() < windows) return std::nullopt;
    if (c >= event.time.size() || event.time[c].size() < p.count) return std::nullopt;
    p.time = &event.time[c];
    if (timing != nullptr) {
        if (c >= timing->size() || (*timing)[c].size() < windows) return std::nullopt;
        p.timing = &(*timing)[c];
    }
    p.active = true;
    return p;
}

std::expected<int, int> open_for_writing(const std::string& path, int flags) {
    int fd;
    do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(errno);
    return fd;
}

}  // namespace

void write_stdout(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

WarningSink& stdout_warnings() {
    static StdoutWarnings sink;
    return sink;
}

// ---- FileWriter ----

std::expected<FileWriter, int> FileWriter::create(const std::string& path) {
    auto fd = open_for_writing(path, O_TRUNC);
    if (!fd) return std::unexpected(fd.error());
    return FileWriter(*fd);
}

std::expected<FileWriter, int> FileWriter::create_new(const std::string& path) {
    auto fd = open_for_writing(path, O_EXCL);
    if (!fd) return std::unexpected(fd.error());
    return FileWriter(*fd);
}

FileWriter::FileWriter(int fd) : fd_(fd), buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {}

FileWriter::FileWriter(FileWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), buffer_(std::move(other.buffer_)), used_(std::exchange(other.used_, 0)) {}

FileWriter::~FileWriter() {
    if (fd_ >= 0) ::close(fd_);  // only on failure paths; finish() reports close errors
}

std::expected<void, ExportError> FileWriter::write_through(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(write_error(errno));
        }
        if (n == 0) return std::unexpected(write_error(EIO));
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

std::expected<void, ExportError> FileWriter::flush() {
    auto ok = write_through({buffer_.get(), used_});
    used_ = 0;
    return ok;
}

std::expected<void, ExportError> FileWriter::write(std::string_view bytes) {
    if (used_ + bytes.size() > kBufferSize) {
        if (auto ok = flush(); !ok) return ok;
        if (bytes.size() >= kBufferSize) return write_through(bytes);
    }
    std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return {};
}

std::expected<void, ExportError> FileWriter::finish() {
    auto flushed = flush();
    const int fd = std::exchange(fd_, -1);
    // A failed close (deferred write errors on some file systems) loses data too.
    if (::close(fd) != 0 && errno != EINTR && flushed) return std::unexpected(write_error(errno));
    return flushed;
}

// ---- layout ----

std::vector<std::uint16_t> merge_window_labels(const parsing::Labels& window_labels) {
    std::vector<std::span<const std::uint16_t>> lists;
    for (const auto& labels : window_labels)
        if (!labels.empty()) lists.emplace_back(labels);
    std::vector<std::uint16_t> merged;
    while (!lists.empty()) {
        // Wrapping: last label below the first; rising: first below the last.
        const std::span<const std::uint16_t>* first_rising = nullptr;
        bool any_wrapping = false;
        for (const auto& s : lists) {
            if (s.front() < s.back() && first_rising == nullptr) first_rising = &s;
            if (s.back() < s.front()) any_wrapping = true;
        }
        // Wrapped windows not read by the first rising channel come first.
        std::optional<std::uint16_t> next;
        if (any_wrapping && first_rising != nullptr) {
            for (const auto& s : lists) {
                if (!(s.back() < s.front())) continue;
                if (std::find(first_rising->begin(), first_rising->end(), s.front()) != first_rising->end()) continue;
                if (!next || s.front() < *next) next = s.front();
            }
        }
        if (!next)
            for (const auto& s : lists)
                if (!next || s.front() < *next) next = s.front();
        if (merged.empty() || merged.back() != *next) merged.push_back(*next);
        for (auto& s : lists)
            if (s.front() == *next) s = s.subspan(1);
        std::erase_if(lists, [](const auto& s) { return s.empty(); });
    }
    return merged;
}

std::expected<void, ExportError> write_header(FileWriter& writer, std::span<const std::uint64_t> channels,
                                              bool with_timing) {
    std::string line = "acq_num,evt_num";
    for (std::uint64_t c : channels) {
        const std::string n = std::to_string(c);
        line += ",windnum_ch" + n + ",data_ch" + n + ",time_ch" + n;
        if (with_timing) line += ",timing_ch" + n;
    }
    line += '\n';
    return writer.write(line);
}

std::expected<void, ExportError> write_event_rows(FileWriter& writer, const Params& params,
                                                  const parsing::ChannelRecord& event, const Timing* timing,
                                                  std::span<const std::uint64_t> channels, std::uint64_t position,
                                                  WarningSink& warnings) {
    const std::uint64_t samples = params.samples;
    const auto merged = merge_window_labels(event.window_labels);
    std::uint64_t rows = 0;
    if (__builtin_mul_overflow(samples, merged.size(), &rows) || rows > kMaxRowsPerEvent)
        return std::unexpected(too_large("event needs too many rows"));
    // Fields per row: acq_num, evt_num and 3 (with timing 4) per channel. The
    // channel count is bounded by memory already, so this cannot overflow.
    const std::uint64_t fields = 2 + (timing != nullptr ? 4 : 3) * std::uint64_t{channels.size()};
    if (rows > 0 && fields > kMaxCellsPerEvent / rows) return std::unexpected(too_large("event needs too many cells"));

    std::vector<Placement> placements;
    placements.reserve(channels.size());
    for (std::uint64_t c : channels) {
        auto p = place(event, timing, c, merged, samples, rows);
        if (!p) {
            warn_bad_channel(warnings, c, position);
            p = Placement{};
        }
        placements.push_back(*p);
    }

    const std::string_view empty_cells = timing != nullptr ? ",,,," : ",,,";
    std::string prefix = "0,";
    append_uint(prefix, position);
    for (std::uint64_t r = 0; r < rows; ++r) {
        auto at = writer.room(prefix.size());
        if (!at) return std::unexpected(std::move(at.error()));
        writer.fill_to(std::copy(prefix.begin(), prefix.end(), *at));
        for (const Placement& p : placements) {
            at = writer.room(kMaxChannelChars);
            if (!at) return std::unexpected(std::move(at.error()));
            char* out = *at;
            if (!p.active || r < p.base || r >= p.base + p.count) {
                writer.fill_to(std::copy(empty_cells.begin(), empty_cells.end(), out));
                continue;
            }
            const std::uint64_t t = r - p.base;
            const std::uint64_t w = t / samples;
            *out++ = ',';
            out = put_uint(out, (*p.labels)[w]);
            *out++ = ',';
            out = format_float((*p.data)[t], out);
            *out++ = ',';
            out = put_uint(out, (*p.time)[t]);
            if (p.timing != nullptr) {
                *out++ = ',';
                out = format_float(static_cast<float>((*p.timing)[w]), out);
            }
            writer.fill_to(out);
        }
        at = writer.room(1);
        if (!at) return std::unexpected(std::move(at.error()));
        **at = '\n';
        writer.fill_to(*at + 1);
    }
    return {};
}

}  // namespace vintrel::csv
