// Parser of the tesslav3s board.
//
// An event is a run of big-endian 16-bit words: event header words, windows,
// footer words. A window is `c` channel blocks of L = n_channel_headers +
// samples words, each a header word (channel number in bits 8-9, label in
// bits 0-7 by default) followed by 13-bit sample words, plus the window
// header words. The event states no channel count: it follows from the
// length, 2 * (n_event_headers + n_footer_words + w * (c * L +
// n_window_footers)) bytes, for w below `windows` and c up to `channels`.
// When several layouts share a length, the one with the most channels whose
// first window fits after the event header wins. The record has `c` channels.
#include <optional>

#include "parsing/boards.hpp"
#include "parsing/length_layouts.hpp"
#include "parsing/params_cache.hpp"
#include "parsing/util.hpp"

namespace vintrel::parsing {
namespace {

struct Tesslav3sCache {
    std::uint64_t n_channel_headers;
    std::uint16_t chanmask;
    std::uint16_t chan_shift;  // reduced modulo 16
    std::uint16_t windmask;
    std::uint16_t datamask;
    std::uint64_t n_event_headers;
    std::uint64_t n_footer_words;
    std::uint64_t n_window_headers;
    std::uint64_t n_window_footers;
    std::uint16_t n_last_bits;  // reduced modulo 16
    std::optional<std::uint64_t> block;  // L; none if it overflows

    explicit Tesslav3sCache(const Params& p)
        : n_channel_headers(key_u64(p, "n_channel_headers", 1)),
          chanmask(key_u16(p, "chanmask", 0x03FF)),
          chan_shift(key_u16(p, "chan_shift", 8) & 15),
          windmask(key_u16(p, "windmask", 0x00FF)),
          datamask(key_u16(p, "datamask", 0x1FFF)),
          n_event_headers(key_u64(p, "n_event_headers", 3)),
          n_footer_words(key_u64(p, "n_footer_words", 1)),
          n_window_headers(key_u64(p, "n_window_headers", 0)),
          n_window_footers(key_u64(p, "n_window_footers", 0)),
          n_last_bits(static_cast<std::uint16_t>(key_u64(p, "n_last_bits", 0) & 15)) {
        std::uint64_t sum = 0;
        if (!__builtin_add_overflow(p.samples, n_channel_headers, &sum)) block = sum;
    }
};

// n_event_headers + c * L + n_window_headers words fit in the event's `words`.
bool first_window_fits(std::uint64_t c, std::uint64_t words, const Tesslav3sCache& k) {
    std::uint64_t need = 0;
    if (__builtin_mul_overflow(c, *k.block, &need) || __builtin_add_overflow(need, k.n_window_headers, &need) ||
        __builtin_add_overflow(need, k.n_event_headers, &need))
        return false;
    return need <= words;
}

// The channel count of an event of `words` words, or none.
std::optional<std::uint64_t> channel_count(std::uint64_t words, const Params& params, const Tesslav3sCache& k) {
    if (params.windows < 2 || params.channels < 1 || !k.block) return std::nullopt;
    std::uint64_t framing = 0;
    if (__builtin_add_overflow(k.n_event_headers, k.n_footer_words, &framing) || framing > words)
        return std::nullopt;
    const auto layout = choose_layout(words - framing, *k.block, k.n_window_footers, params.channels,
                                      params.windows - 1,
                                      [&](std::uint64_t c) { return first_window_fits(c, words, k); });
    if (!layout) return std::nullopt;
    return layout->channels;
}

}  // namespace

std::expected<void, ParsingError> Tesslav3s::parse_into(Bytes bytes, const Params& params, Event& event) {
    const std::uint64_t n = bytes.size();
    if (n == 0) return std::unexpected(ParsingError::MissingData);
    if (n % 2 != 0) return std::unexpected(ParsingError::UnexpectedLength);

    const Tesslav3sCache k(params);
    // Blocks of zero words could never be stepped over.
    if (k.block == std::uint64_t{0}) return std::unexpected(ParsingError::InvalidParameters);
    const std::uint64_t words = n / 2;
    const auto found = channel_count(words, params, k);
    if (!found) return std::unexpected(ParsingError::UnexpectedLength);
    const std::uint64_t c = *found;
    const std::uint64_t block = *k.block;
    if (c > kMaxChannels) return std::unexpected(ParsingError::InvalidParameters);

    // A layout exists, so words > n_event_headers + n_footer_words and c * L
    // is below the word count; only the window header count can overflow.
    const std::uint64_t body_words = words - k.n_event_headers - k.n_footer_words;
    const std::uint8_t* body = bytes.data() + 2 * k.n_event_headers;
    std::uint64_t window = 0;
    if (__builtin_add_overflow(c * block, k.n_window_headers, &window)) window = UINT64_MAX;
    const std::uint64_t window_count = body_words / window;
    const std::uint64_t blocks_per_window = window / block;

    event.resize_channels(c);
    // Room for each channel as if the blocks of a window were spread evenly.
    const std::uint64_t blocks_per_channel = window_count * ((blocks_per_window + c - 1) / c);
    for (std::uint64_t ch = 0; ch < c; ++ch) {
        if (event.samples_wanted(ch)) event.data[ch].reserve(blocks_per_channel * (block - 1));
        event.window_labels[ch].reserve(blocks_per_channel);
    }
    event.window_last_words.clear();
    event.window_last_words.reserve(window_count);

    for (std::uint64_t w = 0; w < window_count; ++w) {
        const std::uint8_t* win = body + 2 * w * window;
        for (std::uint64_t b = 0; b < blocks_per_window; ++b) {
            const std::uint8_t* blk = win + 2 * b * block;
            const std::uint16_t h = be16(blk);
            const std::uint64_t ch = (h & k.chanmask) >> k.chan_shift;
            if (ch >= c) return std::unexpected(ParsingError::InvalidChannel);
            event.window_labels[ch].push_back(static_cast<std::uint16_t>((h & k.windmask) >> k.n_last_bits));
            if (event.samples_wanted(ch)) append_samples(event.data[ch], blk + 2, block - 1, k.datamask, k.n_last_bits);
        }
        event.window_last_words.push_back(be16(win + 2 * (window - 1)));
    }

    if (auto filled = set_time_axis(event, params); !filled)
        return std::unexpected(filled.error());
    return {};
}

}  // namespace vintrel::parsing
