// Parser of the ostra96 board: chips of K channel blocks each, one block per
// channel holding its whole ring of W windows. Words are 16-bit little-endian;
// samples are sent inverted. The error-correcting code of the sample words is
// not checked here.
#include <algorithm>

#include "parsing/boards.hpp"
#include "parsing/params_cache.hpp"
#include "parsing/util.hpp"

namespace vintrel::parsing {
namespace {

constexpr std::size_t kChannels = 96;

struct Ostra96Cache {
    std::uint64_t n_chip_headers;   // bytes
    std::uint64_t n_chip_footers;   // bytes
    std::uint64_t n_window_headers; // words
    std::uint64_t n_event_footers;  // bytes
    std::uint16_t data_mask;
    std::uint16_t chanmask;
    std::uint16_t chan_shift;  // applied modulo 16
    std::uint16_t windmask;
    std::uint64_t per_chip;     // K: channels per chip
    std::uint64_t block_words;  // B
    std::uint64_t chip_bytes;   // C
    std::uint64_t window_samples;  // W * S
};

// Reads the keys and derives K, B and C. Sizes that overflow, a zero chip
// count and layouts with empty chips or empty blocks (nothing to cut the
// event by) are refused.
std::expected<Ostra96Cache, ParsingError> make_cache(const Params& params) {
    Ostra96Cache c{};
    const std::uint64_t num_chips = key_u64(params, "num_chips", 6);
    c.n_chip_headers = key_u64(params, "n_chip_headers", 1);
    c.n_chip_footers = key_u64(params, "n_chip_footers", 3);
    c.n_window_headers = key_u64(params, "n_window_headers", 1);
    const std::uint64_t n_window_footers = key_u64(params, "n_window_footers", 1);
    c.data_mask = key_u16(params, "data_mask", 0x03FF);
    c.chanmask = key_u16(params, "chanmask", 0xFF00);
    c.chan_shift = key_u16(params, "chan_shift", 8);
    c.windmask = key_u16(params, "windmask", 0x00FF);
    c.n_event_footers = key_u64(params, "n_event_footers", 2);

    if (num_chips == 0) return std::unexpected(ParsingError::InvalidParameters);
    c.per_chip = params.channels / num_chips;
    std::uint64_t block_bytes = 0, blocks_bytes = 0;
    if (__builtin_mul_overflow(params.windows, params.samples, &c.window_samples) ||
        __builtin_add_overflow(c.n_window_headers, n_window_footers, &c.block_words) ||
        __builtin_add_overflow(c.block_words, c.window_samples, &c.block_words) ||
        __builtin_mul_overflow(c.block_words, std::uint64_t{2}, &block_bytes) ||
        __builtin_mul_overflow(block_bytes, c.per_chip, &blocks_bytes) ||
        __builtin_add_overflow(c.n_chip_headers, c.n_chip_footers, &c.chip_bytes) ||
        __builtin_add_overflow(c.chip_bytes, blocks_bytes, &c.chip_bytes))
        return std::unexpected(ParsingError::InvalidParameters);
    if (c.block_words == 0 || c.chip_bytes == 0) return std::unexpected(ParsingError::InvalidParameters);
    return c;
}

}  // namespace

std::expected<void, ParsingError> Ostra96::parse_into(Bytes bytes, const Params& params, Event& event) {
    if (bytes.empty()) return std::unexpected(ParsingError::MissingData);
    if (bytes.size() % 2 != 0) return std::unexpected(ParsingError::UnexpectedLength);
    auto cache = make_cache(params);
    if (!cache) return std::unexpected(cache.error());
    const Ostra96Cache& c = *cache;
    // An event shorter than its footer holds no whole number of chips.
    if (bytes.size() < c.n_event_footers) return std::unexpected(ParsingError::UnexpectedLength);
    const std::uint64_t chip_area = bytes.size() - c.n_event_footers;
    if (chip_area % c.chip_bytes != 0) return std::unexpected(ParsingError::UnexpectedLength);

    event.resize_channels(kChannels);
    reset_channels(event.ecc_errors, kChannels);
    const std::uint64_t chips = chip_area / c.chip_bytes;
    event.chip_numbers.clear();
    event.chip_numbers.reserve(chips);

    const std::uint64_t windows = params.windows;
    const unsigned shift = c.chan_shift % 16;
    // Labels must be backed by the event's own bytes, or a few bytes could
    // ask for millions of them (S = 0 costs no bytes per label): one label
    // per word of the event, plus one ring of 16-bit labels so that a layout
    // without samples still shows its window ring. With S >= 1, every real
    // layout, a block's W labels come with W * S sample words anyway.
    std::uint64_t labels_left = std::min<std::uint64_t>(kMaxTimeAxis, bytes.size() / 2 + 65536);

    for (std::uint64_t chip = 0; chip < chips; ++chip) {
        const std::uint8_t* chip_start = bytes.data() + chip * c.chip_bytes;
        const auto chip_number = static_cast<std::uint8_t>(chip_start[0] & 0x3F);
        event.chip_numbers.push_back(chip_number);
        const std::uint8_t* block = chip_start + c.n_chip_headers;
        for (std::uint64_t k = 0; k < c.per_chip; ++k, block += 2 * c.block_words) {
            const std::uint16_t h = le16(block);
            // Channel within the chip plus K per chip, modulo 2^16.
            const auto channel =
                static_cast<std::uint16_t>(((h & c.chanmask) >> shift) + c.per_chip * chip_number);
            if (channel >= kChannels) return std::unexpected(ParsingError::InvalidChannel);
            const std::uint16_t first = h & c.windmask;

            auto& data = event.data[channel];
            const std::size_t base = data.size();
            data.resize(base + c.window_samples);
            const std::uint8_t* word = block + 2 * c.n_window_headers;
            for (std::uint64_t i = 0; i < c.window_samples; ++i, word += 2)
                data[base + i] = static_cast<float>(static_cast<std::uint16_t>(~le16(word)) & c.data_mask);

            // The ring of W labels starting at L0; stops where L0 + k passes 65535.
            const std::uint64_t count = std::min<std::uint64_t>(windows, 65536u - first);
            if (count > labels_left) return std::unexpected(ParsingError::InvalidParameters);
            labels_left -= count;
            auto& labels = event.window_labels[channel];
            labels.reserve(labels.size() + count);
            for (std::uint64_t i = 0; i < count; ++i)
                labels.push_back(static_cast<std::uint16_t>((first + i) % windows));
        }
    }

    if (auto filled = set_time_axis(event.time, event.window_labels, params); !filled)
        return std::unexpected(filled.error());
    return {};
}

}  // namespace vintrel::parsing
