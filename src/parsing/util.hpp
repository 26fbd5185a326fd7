// Helpers shared by the board parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "acquisition/metadata.hpp"
#include "error/errors.hpp"
#include "parsing/records.hpp"

namespace vintrel::parsing {

// Fills `time` from `window_labels`: per channel, `samples` entries per label,
// counted from the start of the channel's first window; a label below the
// first has wrapped around the ring of `windows`. Arithmetic is modulo 2^16.
std::expected<void, ParsingError> set_time_axis(Labels& time, const Labels& window_labels, const Params& params);

inline std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[1] << 8 | p[0]); }

// Appends `count` samples read from big-endian words at `words`, each
// (word AND mask) >> shift. The room is made once, then filled through a
// pointer: a loop the compiler can keep tight, unlike one push_back each.
inline void append_samples(std::vector<float>& out, const std::uint8_t* words, std::uint64_t count,
                           std::uint16_t mask, std::uint16_t shift) {
    const std::size_t at = out.size();
    out.resize(at + count);
    float* dst = out.data() + at;
    for (std::uint64_t s = 0; s < count; ++s) dst[s] = static_cast<float>((be16(words + 2 * s) & mask) >> shift);
}

// Longest time axis of one channel: set_time_axis refuses `samples` x labels
// beyond this (InvalidParameters) instead of filling memory for absurd metadata.
constexpr std::uint64_t kMaxTimeAxis = std::uint64_t{1} << 24;

// Most channels a record may have: every record holds `channels` entries per
// field, so a larger count is refused (InvalidParameters) before allocating.
constexpr std::uint64_t kMaxChannels = 65536;

}  // namespace vintrel::parsing
