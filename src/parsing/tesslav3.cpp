// Parser of the tesslav3 board (also read for fennikv2).
//
// An event is a run of big-endian 16-bit words: event header words, equally
// long windows (one header word, then the samples of one channel), footer
// words. Window header: channel number in bits 9-10, label in bits 1-8
// (defaults); sample word: 13-bit value whose lowest bit is dropped. The
// channels present are the distinct channel numbers of all window headers;
// windows are dealt to them round-robin in ascending channel order, whatever
// channel the window itself names.
#include <algorithm>
#include <vector>

#include "parsing/boards.hpp"
#include "parsing/params_cache.hpp"
#include "parsing/util.hpp"

namespace vintrel::parsing {
namespace {

struct Tesslav3Cache {
    std::uint16_t databitmask;
    std::uint16_t chanmask;
    std::uint16_t chan_shift;  // reduced modulo 16
    std::uint16_t windmask;
    std::uint64_t n_event_headers;
    std::uint64_t n_window_headers;
    std::uint64_t n_footers;
    std::uint16_t n_last_bits;  // reduced modulo 16

    explicit Tesslav3Cache(const Params& p)
        : databitmask(key_u16(p, "databitmask", 0x1FFF)),
          chanmask(key_u16(p, "chanmask", 0x0600)),
          chan_shift(key_u16(p, "chan_shift", 9) & 15),
          windmask(key_u16(p, "windmask", 0x01FE)),
          n_event_headers(key_u64(p, "n_event_headers", 3)),
          n_window_headers(key_u64(p, "n_window_headers", 1)),
          n_footers(key_u64(p, "n_footers", 2)),
          n_last_bits(static_cast<std::uint16_t>(key_u64(p, "n_last_bits", 1) & 15)) {}
};

}  // namespace

std::expected<void, ParsingError> Tesslav3::parse_into(Bytes bytes, const Params& params, Event& event) {
    const std::uint64_t n = bytes.size();
    if (n == 0) return std::unexpected(ParsingError::MissingData);
    if (n % 2 != 0) return std::unexpected(ParsingError::UnexpectedLength);

    const Tesslav3Cache k(params);
    const std::uint64_t words = n / 2;
    // Quick length check with the standard framing (one window header word,
    // one footer word after the windows); the subtraction wraps on purpose.
    std::uint64_t standard_window = 0;
    if (__builtin_add_overflow(params.samples, 1, &standard_window))
        return std::unexpected(ParsingError::InvalidParameters);
    if ((words - k.n_event_headers - 1) % standard_window != 0)
        return std::unexpected(ParsingError::UnexpectedLength);

    if (params.channels > kMaxChannels) return std::unexpected(ParsingError::InvalidParameters);
    event.resize_channels(params.channels);
    if (n < 3) return std::unexpected(ParsingError::UnexpectedLength);

    // Header fields from the first three bytes; a third byte of 0xFF adds nothing.
    const std::uint8_t* p = bytes.data();
    event.header_byte = p[2];
    event.header_value = (std::uint32_t{p[0]} * 65536 + std::uint32_t{p[1]} * 16) + (p[2] == 0xFF ? 0u : p[2]);

    // Windows of `row` words fill words n_event_headers .. N - n_footers
    // inclusive. A zero row could not be stepped over, and without a footer
    // word the window area would end past the event.
    std::uint64_t row = 0;
    if (__builtin_add_overflow(params.samples, k.n_window_headers, &row) || row == 0 || k.n_footers == 0)
        return std::unexpected(ParsingError::InvalidParameters);
    if (k.n_footers > words + 1 || k.n_event_headers > words + 1 - k.n_footers)
        return std::unexpected(ParsingError::UnexpectedLength);
    const std::uint64_t body_words = words + 1 - k.n_footers - k.n_event_headers;
    if (body_words % row != 0) return std::unexpected(ParsingError::UnexpectedLength);
    const std::uint64_t window_count = body_words / row;
    const std::uint8_t* body = p + 2 * k.n_event_headers;

    const auto channel_of = [&](std::uint64_t window) -> std::uint16_t {
        return static_cast<std::uint16_t>((be16(body + 2 * window * row) & k.chanmask) >> k.chan_shift);
    };
    std::vector<std::uint16_t> present;
    present.reserve(window_count);
    for (std::uint64_t w = 0; w < window_count; ++w) present.push_back(channel_of(w));
    std::ranges::sort(present);
    present.erase(std::ranges::unique(present).begin(), present.end());
    // Channels are filled in ascending order and nothing else can fail on the
    // way, so checking the highest one first gives the same outcome.
    if (!present.empty() && present.back() >= params.channels)
        return std::unexpected(ParsingError::InvalidChannel);

    const std::uint64_t m = present.size();
    for (std::uint64_t i = 0; i < m; ++i) {
        auto& data = event.data[present[i]];
        auto& labels = event.window_labels[present[i]];
        const bool sampled = event.samples_wanted(present[i]);
        const std::uint64_t own_windows = (window_count - i + m - 1) / m;
        if (sampled) data.reserve(own_windows * (row - 1));
        labels.reserve(own_windows);
        for (std::uint64_t w = i; w < window_count; w += m) {
            const std::uint8_t* win = body + 2 * w * row;
            labels.push_back(static_cast<std::uint16_t>((be16(win) & k.windmask) >> k.n_last_bits));
            if (sampled) append_samples(data, win + 2, row - 1, k.databitmask, k.n_last_bits);
        }
    }

    if (auto filled = set_time_axis(event, params); !filled)
        return std::unexpected(filled.error());
    return {};
}

}  // namespace vintrel::parsing
