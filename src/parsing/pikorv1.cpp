// Parser of the pikor family boards (pikorv1 and the pikorv2 evaluation
// boards). An event is a stream of big-endian 16-bit words cut into
// fixed-size packets, one per channel and window, each closed by a stop word:
//
//   word 0          channel number (AND chanmask)
//   words 1, 2      timing, high and low part (each AND timing_mask)
//   word 3          window label (AND abs_wind_mask)
//   words headers.. samples, raw
//   word P - 1      stop word
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "parsing/boards.hpp"
#include "parsing/params_cache.hpp"
#include "parsing/util.hpp"

namespace vintrel::parsing {
namespace {

constexpr std::uint16_t kDefaultStopWord = 0xFA5A;

// The stop word is written in metadata as hexadecimal text: an optional '+',
// then hex digits in either case (no "0x"), at most 64 bits of value, of
// which the low 16 bits count.
std::optional<std::uint16_t> parse_hex_word(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::uint16_t stop_word_key(const Params& params) {
    const YamlValue* v = params.find("stop_word");
    if (v == nullptr || v->kind != YamlValue::Kind::String) return kDefaultStopWord;
    return parse_hex_word(v->text).value_or(kDefaultStopWord);
}

struct ParamsCache {
    std::uint16_t chanmask;
    std::uint16_t abs_wind_mask;
    std::uint16_t timing_mask;
    unsigned timing_shift;
    std::uint64_t packet_words;  // P, stop word included
    std::uint64_t headers;
    std::uint16_t stop_word;

    explicit ParamsCache(const Params& p)
        : chanmask(key_u16(p, "chanmask", 0x3F)),
          abs_wind_mask(key_u16(p, "abs_wind_mask", 0x3F)),
          timing_mask(key_u16(p, "timing_mask", 0x0FFF)),
          timing_shift(key_u16(p, "timing_shift", 12) & 31U),
          packet_words(key_u64(p, "packet_size", 72) / 2 + 1),
          headers(key_u64(p, "headers", 4)),
          stop_word(stop_word_key(p)) {}
};

struct UsedPacket {
    std::size_t start;  // word index of the packet's word 0
    std::uint32_t channel;
};

}  // namespace

std::expected<void, ParsingError> Pikorv1::parse_into(Bytes bytes, const Params& params, Event& event) {
    if (bytes.size() % 2 != 0) return std::unexpected(ParsingError::UnexpectedLength);
    const ParamsCache cache(params);
    const std::uint64_t P = cache.packet_words;
    const std::uint64_t S = params.samples;
    const std::uint8_t* raw = bytes.data();
    const std::size_t n_words = bytes.size() / 2;
    const auto word = [raw](std::size_t i) { return be16(raw + 2 * i); };

    // Split after every stop word; only candidates of exactly P words are
    // packets (a lost or extra word drops its packet, not its neighbours).
    std::vector<std::size_t> packets;
    packets.reserve(n_words / P + 1);
    std::size_t start = 0;
    for (std::size_t i = find_be16(raw, 0, n_words, cache.stop_word); i < n_words;
         i = find_be16(raw, i + 1, n_words, cache.stop_word)) {
        if (i + 1 - start == P) packets.push_back(start);
        start = i + 1;
    }
    if (packets.empty()) return std::unexpected(ParsingError::EmptyPackage);

    if (params.channels > kMaxChannels) return std::unexpected(ParsingError::InvalidParameters);
    const auto channels = static_cast<std::size_t>(params.channels);

    // First pass: pick the used packets (some non-zero sample) and check
    // their channels, so each channel's room is reserved once.
    std::vector<UsedPacket> used;
    std::vector<std::size_t> per_channel(channels, 0);
    if (S != 0) {
        used.reserve(packets.size());
        // A used packet must hold its four header words and all S samples;
        // since every packet is P words long this depends on the keys only.
        std::uint64_t needed = 0;
        const bool fits = !__builtin_add_overflow(cache.headers, S, &needed) && needed <= P && P >= 4;
        for (const std::size_t first : packets) {
            if (cache.headers >= P) continue;  // no word after the header
            const std::uint64_t scan = std::min(S, P - cache.headers);
            const std::size_t samples_at = first + static_cast<std::size_t>(cache.headers);
            bool any = false;
            for (std::uint64_t k = 0; k < scan && !any; ++k) any = word(samples_at + k) != 0;
            if (!any) continue;
            const std::uint32_t channel = word(first) & cache.chanmask;
            if (channel >= channels) return std::unexpected(ParsingError::InvalidChannel);
            if (!fits) return std::unexpected(ParsingError::InvalidParameters);
            used.push_back({first, channel});
            ++per_channel[channel];
        }
    }
    if (used.empty()) return std::unexpected(ParsingError::MissingData);

    event.resize_channels(channels);
    reset_channels(event.timing, channels);
    for (std::size_t c = 0; c < channels; ++c) {
        if (per_channel[c] == 0) continue;
        // per_channel[c] * S <= words of the event: the packets are disjoint.
        if (event.samples_wanted(c)) event.data[c].reserve(per_channel[c] * static_cast<std::size_t>(S));
        event.window_labels[c].reserve(per_channel[c]);
        event.timing[c].reserve(per_channel[c]);
    }

    const auto samples = static_cast<std::size_t>(S);
    const std::size_t headers = static_cast<std::size_t>(cache.headers);
    for (const auto& [first, channel] : used) {
        if (event.samples_wanted(channel)) {
            auto& data = event.data[channel];
            const std::size_t offset = data.size();
            data.resize(offset + samples);
            float* out = data.data() + offset;
            const std::uint8_t* in = raw + 2 * (first + headers);
            for (std::size_t k = 0; k < samples; ++k) out[k] = static_cast<float>(be16(in + 2 * k));
        }
        event.window_labels[channel].push_back(word(first + 3) & cache.abs_wind_mask);
        const std::uint32_t high = word(first + 1) & cache.timing_mask;
        const std::uint32_t low = word(first + 2) & cache.timing_mask;
        event.timing[channel].push_back(high << cache.timing_shift | low);
    }

    // Time axis: each timing unit is one window of S samples; a channel's
    // packets are consecutive windows counted from the earliest first timing.
    std::uint32_t t_min = UINT32_MAX;
    for (const auto& t : event.timing)
        if (!t.empty()) t_min = std::min(t_min, t.front());
    for (std::size_t c = 0; c < channels; ++c) {
        const auto n = event.window_labels[c].size();
        if (n == 0) continue;
        const std::uint64_t r = (event.timing[c].front() - t_min) & 0xFFFF;
        const auto begin = static_cast<std::uint16_t>(r * S);
        const auto end = static_cast<std::uint16_t>((r + n) * S);
        auto& time = event.time[c];
        if (end <= begin || !event.samples_wanted(c)) continue;
        time.resize(end - begin);
        std::uint16_t* out = time.data();
        for (std::uint32_t t = begin; t < end; ++t) *out++ = static_cast<std::uint16_t>(t);
    }
    return {};
}

}  // namespace vintrel::parsing
