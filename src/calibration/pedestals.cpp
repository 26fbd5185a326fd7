#include "calibration/pedestals.hpp"

#include <array>
#include <cfloat>
#include <cmath>

#include "calibration/pickle_reader.hpp"

namespace vintrel::calibration {
namespace {

using Kind = PickleValue::Kind;
using Error = std::unexpected<LoadError>;

// Finds the pedestal table inside the top-level value.
std::expected<PickleValue, LoadError> table_of(const PickleDocument& doc) {
    const PickleValue& root = doc.root;
    if (root.kind == Kind::None) return Error(LoadError::NoPedestals);
    if (root.is_sequence()) {
        const auto& items = doc.nodes[root.node];
        if (items.empty()) return Error(LoadError::WrongShape);
        return items.front();
    }
    if (root.kind != Kind::Dict) return Error(LoadError::WrongShape);
    const auto& entries = doc.nodes[root.node];
    const PickleValue* found = nullptr;
    for (std::size_t i = 0; i + 1 < entries.size(); i += 2) {
        if (entries[i].kind != Kind::Text || !entries[i].is_data_key) continue;
        if (found != nullptr) return Error(LoadError::WrongShape);  // "data" twice
        found = &entries[i + 1];
    }
    if (found == nullptr) return Error(LoadError::WrongShape);
    return *found;
}

// A double rounded to the nearest float, overflowing to infinity the way the
// hardware conversion does, without the out-of-range cast.
float nearest_float(double d) {
    if (!std::isfinite(d) || std::fabs(d) <= FLT_MAX) return static_cast<float>(d);
    // Halfway between FLT_MAX and 2^128 (ties go to the even 2^128, i.e. inf).
    const double halfway = static_cast<double>(FLT_MAX) + 0x1p103;
    const float magnitude = std::fabs(d) >= halfway ? INFINITY : FLT_MAX;
    return d < 0 ? -magnitude : magnitude;
}

std::expected<float, LoadError> number_of(const PickleValue& v) {
    if (v.kind == Kind::Float) return nearest_float(v.real);
    if (v.kind == Kind::Int) return static_cast<float>(v.integer);
    return Error(LoadError::WrongShape);  // bool, None, text, int beyond 64 bits, containers
}

// The three nested levels of the table, copied out of the arena. Shared
// nodes are copied once per reference, so the copy is budgeted.
std::expected<Pedestals, LoadError> convert(const PickleDocument& doc, const PickleValue& table) {
    if (!table.is_sequence()) return Error(LoadError::WrongShape);
    std::uint64_t budget = kMaxPedestalValues;
    auto spend = [&budget](std::uint64_t n) {
        if (n > budget) return false;
        budget -= n;
        return true;
    };
    Pedestals out;
    const auto& channels = doc.nodes[table.node];
    if (!spend(channels.size())) return Error(LoadError::TooLarge);
    out.data.reserve(channels.size());
    for (const PickleValue& channel : channels) {
        if (!channel.is_sequence()) return Error(LoadError::WrongShape);
        const auto& windows = doc.nodes[channel.node];
        if (!spend(windows.size())) return Error(LoadError::TooLarge);
        auto& out_windows = out.data.emplace_back();
        out_windows.reserve(windows.size());
        for (const PickleValue& window : windows) {
            if (!window.is_sequence()) return Error(LoadError::WrongShape);
            const auto& samples = doc.nodes[window.node];
            if (!spend(samples.size())) return Error(LoadError::TooLarge);
            auto& out_samples = out_windows.emplace_back();
            out_samples.reserve(samples.size());
            for (const PickleValue& sample : samples) {
                auto value = number_of(sample);
                if (!value) return Error(value.error());
                out_samples.push_back(*value);
            }
        }
    }
    return out;
}

}  // namespace

std::expected<Pedestals, LoadError> Pedestals::from_bytes(std::span<const std::uint8_t> file) {
    GzipReader gzip(file);
    auto doc = read_pickle(gzip);
    if (!doc) return Error(doc.error());
    // The pickle must end the member: one more byte is an error, and so is a
    // member whose remaining bytes fail to decode or whose checksum is wrong.
    std::array<std::uint8_t, 1> extra{};
    auto more = gzip.read(extra);
    if (!more) return Error(more.error());
    if (*more != 0) return Error(LoadError::TrailingBytes);
    auto table = table_of(*doc);
    if (!table) return Error(table.error());
    return convert(*doc, *table);
}

std::expected<void, CorrectionFailure> Pedestals::correct(parsing::ChannelRecord& event, const Params& params) const {
    const std::uint64_t samples = params.samples;
    auto& labels = event.window_labels;
    auto& values = event.data;
    for (std::uint64_t c = 0; c < params.channels; ++c) {
        if (c >= labels.size()) return std::unexpected(CorrectionFailure{});
        const auto& channel_labels = labels[c];
        if (channel_labels.empty()) continue;
        if (c >= values.size()) return std::unexpected(CorrectionFailure{});
        auto& channel = values[c];
        if (channel.empty()) continue;
        if (c >= data.size()) return std::unexpected(CorrectionFailure{});
        // Without a window size no sample can be matched to its window.
        if (samples == 0) return std::unexpected(CorrectionFailure{});
        const auto& table = data[c];
        for (std::size_t j = 0; j < channel.size(); ++j) {
            const std::uint64_t w = j / samples;
            const std::uint64_t s = j % samples;
            if (w >= channel_labels.size()) return std::unexpected(CorrectionFailure{});
            const std::uint16_t label = channel_labels[w];
            if (label >= table.size() || s >= table[label].size()) return std::unexpected(CorrectionFailure{});
            channel[j] = channel[j] - table[label][s];
        }
    }
    return {};
}

}  // namespace vintrel::calibration
