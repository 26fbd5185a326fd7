// Layouts inferred from a packet's length. Boards that carry no channel or
// window count (merrowv3, tesslav3s) accept a length when it equals
//     fixed + w * (c * per_channel + per_window)   words
// for some window count w and channel count c within the board's limits.
// Instead of tabulating every length the metadata allows (which for absurd
// channel or window counts would be enormous), the layouts of one length are
// found directly from the divisors of its variable part.
#pragma once

#include <cstdint>
#include <optional>

namespace vintrel::parsing {

struct Layout {
    std::uint64_t channels = 0;
    std::uint64_t windows = 0;
};

// Calls visit(c, w) for every pair with w * (c * per_channel + per_window) == total,
// 1 <= c <= max_channels and 1 <= w <= max_windows. Pairs come in no particular
// order; no two share a channel count (distinct w give distinct c). Needs
// per_channel >= 1. Cost: O(min(max_windows, sqrt(total))) divisions.
template <class Visit>
void for_each_layout(std::uint64_t total, std::uint64_t per_channel, std::uint64_t per_window,
                     std::uint64_t max_channels, std::uint64_t max_windows, Visit&& visit) {
    if (per_channel == 0 || total == 0 || max_channels == 0 || max_windows == 0) return;
    auto try_windows = [&](std::uint64_t w) {
        if (w > max_windows) return;
        const std::uint64_t window = total / w;
        if (window < per_window) return;
        const std::uint64_t blocks = window - per_window;
        if (blocks % per_channel != 0) return;
        const std::uint64_t c = blocks / per_channel;
        if (c >= 1 && c <= max_channels) visit(c, w);
    };
    // Every window count that divides the total: from the window counts
    // allowed when they are fewer than the divisors to try (the usual case,
    // and this runs once per event), else from the divisors.
    if (max_windows <= total / max_windows) {
        for (std::uint64_t w = 1; w <= max_windows; ++w)
            if (total % w == 0) try_windows(w);
        return;
    }
    for (std::uint64_t d = 1; d <= total / d; ++d) {
        if (total % d != 0) continue;
        try_windows(d);
        if (d != total / d) try_windows(total / d);
    }
}

// The layout of a length: its single candidate, or, when several match, the
// one with the most channels among those for which fits(c) holds (a wider
// window never fits where a narrower one does not, so trying candidates most
// channels first picks that one); none if nothing matches or fits.
template <class Fits>
std::optional<Layout> choose_layout(std::uint64_t total, std::uint64_t per_channel, std::uint64_t per_window,
                                    std::uint64_t max_channels, std::uint64_t max_windows, Fits&& fits) {
    std::uint64_t count = 0;
    Layout only;
    std::optional<Layout> widest_fitting;
    for_each_layout(total, per_channel, per_window, max_channels, max_windows, [&](std::uint64_t c, std::uint64_t w) {
        ++count;
        only = {c, w};
        if ((!widest_fitting || c > widest_fitting->channels) && fits(c)) widest_fitting = Layout{c, w};
    });
    if (count == 0) return std::nullopt;
    if (count == 1) return only;
    return widest_fitting;
}

}  // namespace vintrel::parsing
