#include "parsing/util.hpp"

namespace vintrel::parsing {

namespace {

template <class Wanted>
std::expected<void, ParsingError> fill_time_axis(Labels& time, const Labels& window_labels, const Params& params,
                                                 Wanted wanted) {
    const auto windows = static_cast<std::uint16_t>(params.windows);
    const auto samples = params.samples;
    for (std::uint64_t i = 0; i < params.channels; ++i) {
        if (i >= window_labels.size()) return std::unexpected(ParsingError::MissingData);
        const auto& labels = window_labels[i];
        if (labels.empty()) continue;
        if (i >= time.size()) return std::unexpected(ParsingError::MissingData);
        auto& out = time[i];
        // A time axis longer than any event can hold means `samples` is absurd.
        if (samples > kMaxTimeAxis / labels.size()) return std::unexpected(ParsingError::InvalidParameters);
        if (!wanted(i)) continue;
        const std::size_t at = out.size();
        out.resize(at + labels.size() * samples);
        std::uint16_t* dst = out.data() + at;
        const std::uint16_t first = labels.front();
        for (std::uint16_t w : labels) {
            const auto rel = static_cast<std::uint16_t>(w >= first ? w - first : w + windows - first);
            const auto base = static_cast<std::uint16_t>(static_cast<std::uint64_t>(rel) * samples);
            for (std::uint64_t j = 0; j < samples; ++j) *dst++ = static_cast<std::uint16_t>(base + j);
        }
    }
    return {};
}

}  // namespace

std::expected<void, ParsingError> set_time_axis(Labels& time, const Labels& window_labels, const Params& params) {
    return fill_time_axis(time, window_labels, params, [](std::uint64_t) { return true; });
}

std::expected<void, ParsingError> set_time_axis(ChannelRecord& event, const Params& params) {
    return fill_time_axis(event.time, event.window_labels, params,
                          [&](std::uint64_t c) { return event.samples_wanted(static_cast<std::size_t>(c)); });
}

}  // namespace vintrel::parsing
