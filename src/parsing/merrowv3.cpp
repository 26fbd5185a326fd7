// Parser of the merrowv3 board.
//
// A packet is a run of big-endian 16-bit words: event header words, a body
// of windows, footer words. A window is `c` channel blocks of S' words (one
// channel header word, then samples) followed by the window header words.
// Channel header: channel number in bits 10-11, window label in bits 1-9
// (defaults); sample word: 13-bit value whose lowest bit is dropped.
//
// Packets carry no channel or window count: both follow from the length,
// 8 + 2 * w * (c * S' + 1) bytes, for w below `windows` and c up to `channels`.
// When several layouts share a length, the one with the most channels whose
// first window fits after the event header wins.
#include <optional>
#include <vector>

#include "parsing/boards.hpp"
#include "parsing/length_layouts.hpp"
#include "parsing/params_cache.hpp"
#include "parsing/util.hpp"

namespace vintrel::parsing {
namespace {

struct Merrowv3Cache {
    std::uint64_t channels;
    std::uint64_t windows;
    std::uint64_t samples;
    std::uint64_t n_channel_headers;
    std::uint16_t chanmask;
    std::uint16_t chan_shift;  // reduced modulo 16
    std::uint16_t windmask;
    std::uint16_t datamask;
    std::uint64_t n_event_headers;
    std::uint64_t n_window_headers;
    std::uint64_t n_footer_words;
    std::uint16_t n_last_bits;  // reduced modulo 16
    std::optional<std::uint64_t> block;  // S' = samples + n_channel_headers; none if it overflows

    explicit Merrowv3Cache(const Params& p)
        : channels(p.channels),
          windows(p.windows),
          samples(p.samples),
          n_channel_headers(key_u64(p, "n_channel_headers", 1)),
          chanmask(key_u16(p, "chanmask", 0x0C00)),
          chan_shift(key_u16(p, "chan_shift", 10) & 15),
          windmask(key_u16(p, "windmask", 0x03FE)),
          datamask(key_u16(p, "datamask", 0x1FFF)),
          n_event_headers(key_u64(p, "n_event_headers", 3)),
          n_window_headers(key_u64(p, "n_window_headers", 1)),
          n_footer_words(key_u64(p, "n_footer_words", 2)),
          n_last_bits(static_cast<std::uint16_t>(key_u64(p, "n_last_bits", 1) & 15)) {
        std::uint64_t sum = 0;
        if (!__builtin_add_overflow(samples, n_channel_headers, &sum)) block = sum;
    }
};

// 2 * (c * S' + n_window_headers) + 2 * n_event_headers <= n: one window of
// c channels fits after the event header. Overflow means it does not fit.
bool first_window_fits(std::uint64_t c, std::uint64_t n, const Merrowv3Cache& k) {
    std::uint64_t words = 0;
    if (__builtin_mul_overflow(c, *k.block, &words) || __builtin_add_overflow(words, k.n_window_headers, &words) ||
        __builtin_add_overflow(words, k.n_event_headers, &words))
        return false;
    return words <= n / 2;
}

// The (channel count, window count) of a packet of n bytes, or none.
std::optional<Layout> get_chan_winds(std::uint64_t n, const Merrowv3Cache& k) {
    if (k.windows < 2 || !k.block || n < 8) return std::nullopt;
    if ((n - 8) % 2 != 0) return std::nullopt;
    // (n - 8) / 2 = w * (c * S' + 1): the fixed 8 bytes and the one word per
    // window are those of the board's standard framing, whatever the keys say.
    return choose_layout((n - 8) / 2, *k.block, 1, k.channels, k.windows - 1,
                         [&](std::uint64_t c) { return first_window_fits(c, n, k); });
}

}  // namespace

std::expected<void, ParsingError> Merrowv3::parse_into(Bytes bytes, const Params& params, Event& event) {
    const std::uint64_t n = bytes.size();
    if (n == 0) return std::unexpected(ParsingError::MissingData);
    if (n % 2 != 0) return std::unexpected(ParsingError::UnexpectedLength);

    const Merrowv3Cache k(params);
    // Blocks of zero words could never be stepped over.
    if (k.block == std::uint64_t{0}) return std::unexpected(ParsingError::InvalidParameters);
    const auto layout = get_chan_winds(n, k);
    if (!layout) return std::unexpected(ParsingError::UnexpectedLength);
    const std::uint64_t c = layout->channels;
    const std::uint64_t block = *k.block;

    // Body: words n_event_headers .. N - n_footer_words (inclusive of the word
    // before the dropped footer words). No footer word would end it past the packet.
    const std::uint64_t words = n / 2;
    if (k.n_footer_words == 0) return std::unexpected(ParsingError::InvalidParameters);
    if (k.n_footer_words > words + 1 || k.n_event_headers > words + 1 - k.n_footer_words)
        return std::unexpected(ParsingError::UnexpectedLength);
    const std::uint64_t body_words = words + 1 - k.n_footer_words - k.n_event_headers;
    const std::uint8_t* body = bytes.data() + 2 * k.n_event_headers;

    // c * S' <= n / 2 holds for any layout found; only the window header count can overflow.
    std::uint64_t window = 0;
    if (__builtin_add_overflow(c * block, k.n_window_headers, &window)) window = UINT64_MAX;
    const std::uint64_t window_count = body_words / window;
    const std::uint64_t blocks_per_window = window / block;

    if (k.channels > kMaxChannels) return std::unexpected(ParsingError::InvalidParameters);
    // The first window's channel headers must lie inside the body.
    if ((c - 1) * block >= body_words) return std::unexpected(ParsingError::UnexpectedLength);

    event.resize_channels(k.channels);
    const auto channel_of = [&](std::uint16_t h) -> std::uint64_t { return (h & k.chanmask) >> k.chan_shift; };

    // Check the channel headers of the first window, and reserve each
    // channel's room from the number of its blocks there.
    std::vector<std::uint64_t> blocks_seen(k.channels, 0);
    for (std::uint64_t j = 0; j < c; ++j) {
        const std::uint64_t ch = channel_of(be16(body + 2 * j * block));
        if (ch >= k.channels) return std::unexpected(ParsingError::InvalidChannel);
        ++blocks_seen[ch];
    }
    for (std::uint64_t ch = 0; ch < k.channels; ++ch) {
        if (blocks_seen[ch] == 0) continue;
        if (event.samples_wanted(ch)) event.data[ch].reserve(blocks_seen[ch] * window_count * (block - 1));
        event.window_labels[ch].reserve(blocks_seen[ch] * window_count);
    }

    for (std::uint64_t w = 0; w < window_count; ++w) {
        const std::uint8_t* win = body + 2 * w * window;
        for (std::uint64_t b = 0; b < blocks_per_window; ++b) {
            const std::uint8_t* blk = win + 2 * b * block;
            const std::uint16_t h = be16(blk);
            const std::uint64_t ch = channel_of(h);
            if (ch >= k.channels) return std::unexpected(ParsingError::InvalidChannel);
            if (event.samples_wanted(ch)) append_samples(event.data[ch], blk + 2, block - 1, k.datamask, k.n_last_bits);
            event.window_labels[ch].push_back(static_cast<std::uint16_t>((h & k.windmask) >> k.n_last_bits));
        }
    }

    if (auto filled = set_time_axis(event, params); !filled)
        return std::unexpected(filled.error());
    return {};
}

}  // namespace vintrel::parsing
