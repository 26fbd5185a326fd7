// Parsed event records, one type per board. All share the three per-channel
// fields; the outer index of each is the channel number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vintrel::parsing {

using Samples = std::vector<std::vector<float>>;
using Labels = std::vector<std::vector<std::uint16_t>>;

// Leaves `channels` empty entries in `field`. Entries that were there keep
// their room, so a record parsed into again and again stops allocating.
template <class T>
void reset_channels(std::vector<std::vector<T>>& field, std::size_t channels) {
    field.resize(channels);
    for (auto& channel : field) channel.clear();
}

struct ChannelRecord {
    Samples data;
    Labels window_labels;
    Labels time;

    // The channels whose samples the caller needs; none: all. A parser may
    // leave `data` and `time` empty for the others (it still reads and
    // checks all their words and fills their window labels, so an event
    // fails or succeeds as it would in full): a caller that keeps a few
    // channels then does not pay for converting every sample.
    std::optional<std::vector<bool>> sampled;
    bool samples_wanted(std::size_t channel) const {
        return !sampled || (channel < sampled->size() && (*sampled)[channel]);
    }

    // `channels` empty entries in each of the three fields.
    void resize_channels(std::size_t channels) {
        reset_channels(data, channels);
        reset_channels(window_labels, channels);
        reset_channels(time, channels);
    }
};

struct Merrowv3Event : ChannelRecord {};

struct Tesslav3Event : ChannelRecord {
    std::uint32_t header_value = 0;
    std::uint16_t header_byte = 0;

    static Tesslav3Event make(std::size_t channels) {
        Tesslav3Event e;
        e.resize_channels(channels);
        return e;
    }
};
using Fennikv2Event = Tesslav3Event;

struct Tesslav3SEvent : ChannelRecord {
    std::vector<std::uint16_t> window_last_words;  // one per window, unmasked
};

struct Pikorv1Event : ChannelRecord {
    std::vector<std::vector<std::uint32_t>> timing;  // per channel, one per packet
};

struct FennikocEvent : ChannelRecord {};
struct Zemil16Event : ChannelRecord {};
struct Grenvikv1Event : ChannelRecord {};

// One word that failed the ostra96 code check.
struct EccErrorRecord {
    std::size_t offset = 0;
    std::size_t position = 0;
    std::uint16_t word = 0;
    std::uint16_t corrected = 0;
    std::uint16_t bit = 0;
};

struct Ostra96Event : ChannelRecord {
    std::vector<std::uint8_t> chip_numbers;
    std::vector<std::vector<EccErrorRecord>> ecc_errors;  // 96 entries
};

}  // namespace vintrel::parsing
