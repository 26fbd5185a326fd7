// Parser of the grenvik board. An event is a run of fixed-size packets of
// big-endian 16-bit words followed by 4 unread bytes; each packet names a
// group of four channels and carries four windows. Sizes in bytes, with
// H = n_event_headers, WH = n_window_headers, F = n_footer_words:
//
//   window  WB = 2 (WH + S):  label, channel offset c, S samples, padding
//   P = 2 (H + 4 (WH + S) + F),  packet Q = P + 2
//   packet: word 0 = channel group g, H - 1 further header words, the window
//           area (P - 2 - 2H bytes), then 4 bytes not read
//
// A window's channel is 4 g + c. No masks: labels and samples are whole words.
#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

#include "parsing/boards.hpp"
#include "parsing/params_cache.hpp"
#include "parsing/util.hpp"

namespace vintrel::parsing {
namespace {

struct ParamsCache {
    std::uint64_t n_window_headers;
    std::uint64_t n_event_headers;
    std::uint64_t n_footer_words;

    explicit ParamsCache(const Params& p)
        : n_window_headers(key_u64(p, "n_window_headers", 2)),
          n_event_headers(key_u64(p, "n_event_headers", 7)),
          n_footer_words(key_u64(p, "n_footer_words", 1)) {}
};

struct Sizes {
    std::uint64_t window;  // WB
    std::uint64_t area;    // P - 2 - 2H, the window area of a packet
    std::uint64_t header;  // 2H
    std::uint64_t packet;  // Q
};

// The byte sizes of the layout; nullopt when one overflows 64 bits or the
// windows would be empty (nothing to step through the window area with).
std::optional<Sizes> sizes(const ParamsCache& c, std::uint64_t samples) {
    std::uint64_t window_words = 0, area_words = 0, packet_words = 0;
    if (__builtin_add_overflow(c.n_window_headers, samples, &window_words) || window_words == 0 ||
        __builtin_mul_overflow(window_words, 4, &area_words) ||
        __builtin_add_overflow(area_words, c.n_event_headers, &packet_words) ||
        __builtin_add_overflow(packet_words, c.n_footer_words, &packet_words) ||
        __builtin_add_overflow(packet_words, 1, &packet_words) || packet_words > UINT64_MAX / 2)
        return std::nullopt;
    // area_words >= 4 and footers >= 0: the area of P - 2 - 2H bytes is
    // 2 (4 (WH + S) + F) - 2 > 0 bytes.
    return Sizes{2 * window_words, 2 * (area_words + c.n_footer_words) - 2, 2 * c.n_event_headers,
                 2 * packet_words};
}

struct WindowRef {
    std::size_t at;  // byte offset of the window in the event
    std::uint32_t channel;
};

}  // namespace

std::expected<void, ParsingError> Grenvikv1::parse_into(Bytes bytes, const Params& params, Event& event) {
    const std::size_t length = bytes.size();
    if (length % 2 != 0) return std::unexpected(ParsingError::UnexpectedLength);
    const ParamsCache cache(params);
    const std::uint64_t S = params.samples;
    const auto size = sizes(cache, S);
    if (!size) return std::unexpected(ParsingError::InvalidParameters);
    // One packet at least (Q >= 10 bytes, so the 4 unread bytes are there too).
    if (length < size->packet) return std::unexpected(ParsingError::UnexpectedLength);
    if (params.channels > kMaxChannels) return std::unexpected(ParsingError::InvalidParameters);
    const auto channels = static_cast<std::size_t>(params.channels);

    const std::uint8_t* raw = bytes.data();
    const std::size_t body = length - 4;
    const std::uint64_t Q = size->packet;
    const std::uint64_t WB = size->window;
    const std::uint64_t min_packet = size->header + size->area;  // P - 2

    // First pass: walk packets and windows, check lengths and channels in
    // event order, count windows per channel.
    std::vector<WindowRef> windows;
    windows.reserve(body / WB + 1);
    std::vector<std::size_t> per_channel(channels, 0);
    for (std::size_t p = 0, packet_length = 0; p < body; p += packet_length) {
        // Packets of Q bytes; the last one may be shorter.
        packet_length = static_cast<std::size_t>(std::min<std::uint64_t>(Q, body - p));
        if (packet_length < min_packet) return std::unexpected(ParsingError::UnexpectedLength);
        const std::uint32_t group = be16(raw + p);
        std::uint64_t remaining = size->area;
        for (std::size_t at = p + static_cast<std::size_t>(size->header); remaining > 0;
             at += static_cast<std::size_t>(WB), remaining -= WB) {
            if (remaining < WB) return std::unexpected(ParsingError::UnexpectedLength);
            // A window too small for its channel word has no channel to test.
            if (WB < 4) return std::unexpected(ParsingError::UnexpectedLength);
            const std::uint32_t channel = 4 * group + be16(raw + at + 2);
            if (channel >= channels) return std::unexpected(ParsingError::InvalidChannel);
            if (WB - 4 < 2 * S) return std::unexpected(ParsingError::UnexpectedLength);
            windows.push_back({at, channel});
            ++per_channel[channel];
        }
    }

    event.resize_channels(channels);
    const auto samples = static_cast<std::size_t>(S);
    for (std::size_t c = 0; c < channels; ++c) {
        if (per_channel[c] == 0) continue;
        if (event.samples_wanted(c)) event.data[c].reserve(per_channel[c] * samples);  // bounded by the event's words
        event.window_labels[c].reserve(per_channel[c]);
    }
    for (const auto& [at, channel] : windows) {
        event.window_labels[channel].push_back(be16(raw + at));
        if (!event.samples_wanted(channel)) continue;
        auto& data = event.data[channel];
        const std::size_t offset = data.size();
        data.resize(offset + samples);
        float* out = data.data() + offset;
        const std::uint8_t* in = raw + at + 4;
        for (std::size_t k = 0; k < samples; ++k) out[k] = static_cast<float>(be16(in + 2 * k));
    }
    if (auto ok = set_time_axis(event, params); !ok) return std::unexpected(ok.error());
    return {};
}

}  // namespace vintrel::parsing
