// Fuzzes the CSV writer with event records built from the input: ragged
// channels, wrapping and repeated labels, missing time or timing entries,
// any float bit pattern (NaN, infinities, subnormals) and absurd `samples`.
// The file written must keep the dialect: plain ASCII of the expected
// characters, every record with the header's number of fields. Every cell
// value must read back as the same 32-bit float.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "export/csv.hpp"
#include "export/float_format.hpp"
#include "fuzz_input.hpp"

namespace {

using vintrel::fuzz::Input;

float read_float(Input& in) {
    const auto bits = static_cast<std::uint32_t>(in.little_endian(4));
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void check_round_trip(float value) {
    char cell[vintrel::csv::kMaxFloatChars + 1];
    char* end = vintrel::csv::format_float(value, cell);
    if (std::isnan(value)) {
        if (end != cell) std::abort();
        return;
    }
    *end = '\0';
    if (std::strchr(cell, 'e') != nullptr || std::strchr(cell, 'E') != nullptr) std::abort();
    const float back = std::strtof(cell, nullptr);
    if (std::memcmp(&back, &value, sizeof value) != 0) std::abort();
}

template <class Event>
std::vector<Event> read_events(Input& in) {
    std::vector<Event> events(in.byte() % 4 + 1);
    for (Event& e : events) {
        const std::size_t channels = in.byte() % 6;
        e.resize_channels(channels);
        if constexpr (vintrel::csv::kHasTiming<Event>) e.timing.assign(channels, {});
        for (std::size_t c = 0; c < channels; ++c) {
            const std::size_t labels = in.byte() % 8;
            for (std::size_t k = 0; k < labels; ++k) e.window_labels[c].push_back(static_cast<std::uint16_t>(in.byte() % 16));
            const std::size_t samples = in.byte() % 64;
            for (std::size_t k = 0; k < samples; ++k) {
                e.data[c].push_back(read_float(in));
                check_round_trip(e.data[c].back());
            }
            // Usually as many times as samples; sometimes fewer, to meet broken records.
            const std::size_t times = (in.byte() & 7) == 0 ? samples / 2 : samples;
            for (std::size_t k = 0; k < times; ++k) e.time[c].push_back(static_cast<std::uint16_t>(k));
            if constexpr (vintrel::csv::kHasTiming<Event>) {
                const std::size_t timing = (in.byte() & 7) == 0 ? labels / 2 : labels;
                for (std::size_t k = 0; k < timing; ++k) e.timing[c].push_back(static_cast<std::uint32_t>(in.little_endian(4)));
            }
        }
    }
    return events;
}

void check_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t fields = 0;
    std::size_t commas = 0;
    bool first = true;
    for (char ch : text) {
        if (ch == '\n') {
            if (first) fields = commas;
            else if (commas != fields) std::abort();  // a record of another length
            first = false;
            commas = 0;
        } else if (ch == ',') {
            ++commas;
        } else if (!((ch >= '0' && ch <= '9') || ch == '.' || ch == '-' || ch == '_' || (ch >= 'a' && ch <= 'z'))) {
            std::abort();
        }
    }
    if (commas != 0) std::abort();  // a record without its line end
}

template <class Event>
void run(Input& in, const std::string& path) {
    vintrel::Params params;
    // Small sample counts, or absurd ones that the writer must refuse; the
    // sizes in between only make long files slowly.
    const std::uint64_t samples = in.number();
    params.samples = samples <= 4096 || samples > vintrel::csv::kMaxRowsPerEvent ? samples : samples % 4096;
    const auto events = read_events<Event>(in);
    auto writer = vintrel::csv::FileWriter::create(path);
    if (!writer) std::abort();
    auto written = vintrel::csv::export_events<Event>(events, *writer, params);
    auto finished = writer->finish();
    if (written && finished) check_file(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/vintrel-fuzz-csv-" + std::to_string(::getpid()) + ".csv";
    Input in(data, size);
    if (in.byte() & 1) run<vintrel::parsing::Pikorv1Event>(in, path);
    else run<vintrel::parsing::Merrowv3Event>(in, path);
    return 0;
}
