// The CSV layout of an export file: the channel set, the header, the rows of
// one event on the merged window order, and the buffered file they go to.
//
// Dialect: comma separated, "\n" line ends, plain ASCII, every record with
// the same number of fields. No field of this layout (numbers and fixed
// column names) ever contains a comma, quote or line break, so none is quoted.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "acquisition/metadata.hpp"
#include "error/errors.hpp"
#include "parsing/records.hpp"

namespace vintrel::csv {

// A file opened for writing, filled through an in-memory buffer so that the
// many short fields reach the system in large writes. Rows are formatted
// straight into the buffer: room() hands out space, fill_to() keeps it.
class FileWriter {
public:
    static constexpr std::size_t kBufferSize = std::size_t{1} << 16;

    // Creates or truncates the file (mode 0666 less the umask); the error is errno.
    static std::expected<FileWriter, int> create(const std::string& path);
    // Creates a file that must not exist yet (mode 0666 less the umask).
    static std::expected<FileWriter, int> create_new(const std::string& path);
    ~FileWriter();
    FileWriter(FileWriter&& other) noexcept;
    FileWriter& operator=(FileWriter&&) = delete;
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    std::expected<void, ExportError> write(std::string_view bytes);

    // Where at least n (at most kBufferSize) more bytes may be put; writes
    // the buffer out first when it has less room.
    std::expected<char*, ExportError> room(std::size_t n) {
        if (kBufferSize - used_ < n)
            if (auto ok = flush(); !ok) return std::unexpected(std::move(ok.error()));
        return buffer_.get() + used_;
    }
    // Keeps the bytes put from the last room() up to `end`.
    void fill_to(const char* end) { used_ = static_cast<std::size_t>(end - buffer_.get()); }

    // Writes out the buffer and closes the file, reporting either failure.
    std::expected<void, ExportError> finish();

private:
    explicit FileWriter(int fd);
    std::expected<void, ExportError> write_through(std::string_view bytes);
    std::expected<void, ExportError> flush();

    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
};

// Most rows one event may produce (samples x merged windows), and most cells
// (rows x fields per row); beyond either the file fails instead of filling
// the disk for absurd metadata or a record of very many channels.
constexpr std::uint64_t kMaxRowsPerEvent = std::uint64_t{1} << 24;
constexpr std::uint64_t kMaxCellsPerEvent = std::uint64_t{1} << 26;

// Receives the "Bad channel" lines of a file (each ending in "\n").
class WarningSink {
public:
    virtual void line(std::string_view text) = 0;

protected:
    ~WarningSink() = default;
};

// The sink that writes each line straight to the process's standard output.
WarningSink& stdout_warnings();

// Writes text to the process's standard output in unbuffered writes, so it
// is in place even while the interpreter holds its own buffered stdout. A
// closed or full stdout loses the text, not the export.
void write_stdout(std::string_view text);

// Merges the channels' window label sequences (each in readout order, each
// possibly wrapping around the ring of windows) into one common order.
std::vector<std::uint16_t> merge_window_labels(const parsing::Labels& window_labels);

// The channels that have samples in at least one event, ascending.
template <class Event>
std::vector<std::uint64_t> channels(std::span<const Event> events) {
    std::vector<bool> used;
    for (const Event& e : events)
        for (std::size_t c = 0; c < e.data.size(); ++c)
            if (!e.data[c].empty()) {
                if (used.size() <= c) used.resize(c + 1);
                used[c] = true;
            }
    std::vector<std::uint64_t> out;
    for (std::size_t c = 0; c < used.size(); ++c)
        if (used[c]) out.push_back(c);
    return out;
}

std::expected<void, ExportError> write_header(FileWriter& writer, std::span<const std::uint64_t> channels,
                                              bool with_timing);

// Per-window timing values of a record, or null for records without them.
using Timing = std::vector<std::vector<std::uint32_t>>;

std::expected<void, ExportError> write_event_rows(FileWriter& writer, const Params& params,
                                                  const parsing::ChannelRecord& event, const Timing* timing,
                                                  std::span<const std::uint64_t> channels, std::uint64_t position,
                                                  WarningSink& warnings);

template <class Event>
constexpr bool kHasTiming = std::is_same_v<Event, parsing::Pikorv1Event>;

// Writes the rows of one event; `position` is its place in the file.
template <class Event>
std::expected<void, ExportError> write_event(FileWriter& writer, const Params& params, const Event& event,
                                             std::span<const std::uint64_t> channels, std::uint64_t position,
                                             WarningSink& warnings = stdout_warnings()) {
    const Timing* timing = nullptr;
    if constexpr (kHasTiming<Event>) timing = &event.timing;
    return write_event_rows(writer, params, event, timing, channels, position, warnings);
}

// Writes one whole file: header over the channel set of all events, then
// each event with positions 0, 1, 2, ...
template <class Event>
std::expected<void, ExportError> export_events(std::span<const Event> events, FileWriter& writer,
                                               const Params& params) {
    const auto set = channels(events);
    if (auto ok = write_header(writer, set, kHasTiming<Event>); !ok) return ok;
    for (std::size_t i = 0; i < events.size(); ++i)
        if (auto ok = write_event(writer, params, events[i], set, i); !ok) return ok;
    return {};
}

}  // namespace vintrel::csv
