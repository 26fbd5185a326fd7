// Parser of the fennikoc boards. An event is a run of big-endian 16-bit words
// holding chip records, each ended by the chip stop word; the event's last
// word (the last chip's stop word) is dropped before splitting.
//
//   chip record:  n_chip_headers words (word 0 >> 12 = chip number),
//                 then windows of n_window_headers + S words
//   window:       header h (channel bits AND chanmask, label AND windmask),
//                 further header words, S samples (AND databitmask)
//
// A window's channel is K * chip + ((h AND chanmask) >> chan_shift) with
// K = channels / num_chips channels per chip.
#include <cstddef>
#include <vector>

#include "parsing/boards.hpp"
#include "parsing/params_cache.hpp"
#include "parsing/util.hpp"

namespace vintrel::parsing {
namespace {

struct ParamsCache {
    std::uint64_t num_chips;
    std::uint16_t databitmask;
    std::uint16_t chanmask;
    unsigned chan_shift;
    std::uint16_t windmask;
    std::uint16_t chip_stop_word;
    std::uint64_t n_chip_headers;
    std::uint64_t n_window_headers;

    explicit ParamsCache(const Params& p)
        : num_chips(key_u64(p, "num_chips", 2)),
          databitmask(key_u16(p, "databitmask", 0x0FFF)),
          chanmask(key_u16(p, "chanmask", 0x0300)),
          chan_shift(key_u16(p, "chan_shift", 8) & 15U),
          windmask(key_u16(p, "windmask", 0x00FF)),
          chip_stop_word(key_u16(p, "chip_stop_word", 0xFFFF)),
          n_chip_headers(key_u64(p, "n_chip_headers", 3)),
          n_window_headers(key_u64(p, "n_window_headers", 1)) {}
};

struct WindowRef {
    std::size_t samples_at;  // word index of the window's first sample
    std::uint32_t channel;
    std::uint16_t label;
};

}  // namespace

std::expected<void, ParsingError> Fennikoc::parse_into(Bytes bytes, const Params& params, Event& event) {
    if (bytes.empty()) return std::unexpected(ParsingError::MissingData);
    if (bytes.size() % 2 != 0) return std::unexpected(ParsingError::UnexpectedLength);
    const ParamsCache cache(params);
    // No chips, or windows of no words, leave nothing to divide by.
    if (cache.num_chips == 0) return std::unexpected(ParsingError::InvalidParameters);
    const std::uint64_t per_chip = params.channels / cache.num_chips;
    const std::uint64_t S = params.samples;
    std::uint64_t P = 0;
    if (__builtin_add_overflow(cache.n_window_headers, S, &P) || P == 0)
        return std::unexpected(ParsingError::InvalidParameters);
    if (params.channels > kMaxChannels) return std::unexpected(ParsingError::InvalidParameters);
    const auto channels = static_cast<std::size_t>(params.channels);

    const std::uint8_t* raw = bytes.data();
    const std::size_t n_words = bytes.size() / 2 - 1;  // last word dropped
    const auto word = [raw](std::size_t i) { return be16(raw + 2 * i); };
    const std::uint64_t headers = cache.n_chip_headers;

    // First pass: split into chip records at the stop words, check their
    // lengths and the channel of every window, count windows per channel.
    std::vector<WindowRef> windows;
    windows.reserve(n_words / P + 1);
    std::vector<std::size_t> per_channel(channels, 0);
    const auto check_record = [&](std::size_t first, std::size_t end) -> std::expected<void, ParsingError> {
        const std::size_t length = end - first;
        // An empty record (two stop words in a row, or one just before the
        // event's last word) is malformed even when chips have no header.
        if (length == 0 || length < headers || (length - headers) % P != 0)
            return std::unexpected(ParsingError::UnexpectedLength);
        const std::uint64_t n_windows = (length - headers) / P;
        if (n_windows == 0) return {};
        const std::uint64_t base = per_chip * (word(first) >> 12);
        std::size_t at = first + static_cast<std::size_t>(headers);
        for (std::uint64_t w = 0; w < n_windows; ++w, at += static_cast<std::size_t>(P)) {
            const std::uint16_t h = word(at);
            const std::uint64_t channel = base + ((h & cache.chanmask) >> cache.chan_shift);
            if (channel >= channels) return std::unexpected(ParsingError::InvalidChannel);
            windows.push_back({at + static_cast<std::size_t>(cache.n_window_headers),
                               static_cast<std::uint32_t>(channel), static_cast<std::uint16_t>(h & cache.windmask)});
            ++per_channel[channel];
        }
        return {};
    };
    std::size_t first = 0;
    for (std::size_t i = find_be16(raw, 0, n_words, cache.chip_stop_word); i < n_words;
         i = find_be16(raw, i + 1, n_words, cache.chip_stop_word)) {
        if (auto ok = check_record(first, i); !ok) return std::unexpected(ok.error());
        first = i + 1;
    }
    if (auto ok = check_record(first, n_words); !ok) return std::unexpected(ok.error());

    event.resize_channels(channels);
    const auto samples = static_cast<std::size_t>(S);
    for (std::size_t c = 0; c < channels; ++c) {
        if (per_channel[c] == 0) continue;
        if (event.samples_wanted(c)) event.data[c].reserve(per_channel[c] * samples);  // bounded by the event's words
        event.window_labels[c].reserve(per_channel[c]);
    }
    for (const auto& [samples_at, channel, label] : windows) {
        event.window_labels[channel].push_back(label);
        if (!event.samples_wanted(channel)) continue;
        auto& data = event.data[channel];
        const std::size_t offset = data.size();
        data.resize(offset + samples);
        float* out = data.data() + offset;
        const std::uint8_t* in = raw + 2 * samples_at;
        for (std::size_t k = 0; k < samples; ++k) out[k] = static_cast<float>(be16(in + 2 * k) & cache.databitmask);
    }
    if (auto ok = set_time_axis(event, params); !ok) return std::unexpected(ok.error());
    return {};
}

}  // namespace vintrel::parsing
