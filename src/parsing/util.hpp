// Helpers shared by the board parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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
// The same for a record, leaving `time` empty for channels whose samples it
// does not want (checks made all the same).
std::expected<void, ParsingError> set_time_axis(ChannelRecord& event, const Params& params);

inline std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[1] << 8 | p[0]); }

// The first i >= from below n_words whose big-endian word at raw + 2 i is
// `value`, or n_words. Four words are compared at a time (a 16-bit lane of
// the XOR with the value repeated is zero exactly where a word matches).
inline std::size_t find_be16(const std::uint8_t* raw, std::size_t from, std::size_t n_words, std::uint16_t value) {
    const auto hi = static_cast<std::uint8_t>(value >> 8), lo = static_cast<std::uint8_t>(value & 0xFF);
    const std::uint8_t repeated[8] = {hi, lo, hi, lo, hi, lo, hi, lo};
    std::uint64_t pattern = 0;
    std::memcpy(&pattern, repeated, 8);
    constexpr std::uint64_t kLaneOnes = 0x0001000100010001, kLaneHighs = 0x8000800080008000;
    const auto matches = [&](std::size_t i) { return raw[2 * i] == hi && raw[2 * i + 1] == lo; };
    std::size_t i = from;
    for (; i + 4 <= n_words; i += 4) {
        std::uint64_t four = 0;
        std::memcpy(&four, raw + 2 * i, 8);
        const std::uint64_t x = four ^ pattern;
        if (((x - kLaneOnes) & ~x & kLaneHighs) == 0) continue;
        for (std::size_t k = i; k < i + 4; ++k)
            if (matches(k)) return k;
    }
    for (; i < n_words; ++i)
        if (matches(i)) return i;
    return n_words;
}

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
