// Parser of the zemil16 board: one chip read out as a one-byte chip header,
// one block per channel holding its whole window ring, and a chip footer.
// From byte 1 on the event is little-endian 16-bit words cut into blocks of
//
//   B = n_window_headers + W * S + n_window_footers words:
//   word 0          header h: channel = (h AND chanmask) >> chan_shift,
//                   first window label L0 = h AND windmask
//   then            W * S inverted samples: (NOT s) AND data_mask
//   last words      block footer
//
// The block's window labels are the ring rotated to start at L0.
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
    std::uint16_t data_mask;
    std::uint16_t chanmask;
    unsigned chan_shift;
    std::uint16_t windmask;
    std::uint64_t n_chip_headers;    // bytes
    std::uint64_t n_chip_footers;    // bytes
    std::uint64_t n_window_headers;  // words
    std::uint64_t n_window_footers;  // words

    explicit ParamsCache(const Params& p)
        : data_mask(key_u16(p, "data_mask", 0x03FF)),
          chanmask(key_u16(p, "chanmask", 0xFF00)),
          chan_shift(key_u16(p, "chan_shift", 8) & 15U),
          windmask(key_u16(p, "windmask", 0x00FF)),
          n_chip_headers(key_u64(p, "n_chip_headers", 1)),
          n_chip_footers(key_u64(p, "n_chip_footers", 2)),
          n_window_headers(key_u64(p, "n_window_headers", 1)),
          n_window_footers(key_u64(p, "n_window_footers", 1)) {}
};

struct BlockRef {
    std::size_t first;  // word index of the block header
    std::uint32_t channel;
    std::uint16_t first_label;
    std::uint32_t n_labels;
};

// Block length in words and event length in bytes; nullopt when either
// overflows 64 bits.
struct Sizes {
    std::uint64_t block;
    std::uint64_t event;
};
std::optional<Sizes> sizes(const ParamsCache& c, const Params& p) {
    std::uint64_t samples = 0, block = 0, event = 0, chip = 0;
    if (__builtin_mul_overflow(p.windows, p.samples, &samples) ||
        __builtin_add_overflow(c.n_window_headers, samples, &block) ||
        __builtin_add_overflow(block, c.n_window_footers, &block) ||
        __builtin_mul_overflow(p.channels, block, &event) || __builtin_mul_overflow(event, 2, &event) ||
        __builtin_add_overflow(c.n_chip_headers, c.n_chip_footers, &chip) ||
        __builtin_add_overflow(event, chip, &event))
        return std::nullopt;
    return Sizes{block, event};
}

}  // namespace

std::expected<void, ParsingError> Zemil16::parse_into(Bytes bytes, const Params& params, Event& event) {
    if (bytes.empty()) return std::unexpected(ParsingError::MissingData);
    const ParamsCache cache(params);
    const auto size = sizes(cache, params);
    if (!size) return std::unexpected(ParsingError::InvalidParameters);
    if (bytes.size() != size->event) return std::unexpected(ParsingError::UnexpectedLength);
    // Blocks of no words cannot be cut from the event.
    if (size->block == 0) return std::unexpected(ParsingError::InvalidParameters);
    if (params.channels > kMaxChannels) return std::unexpected(ParsingError::InvalidParameters);
    const auto channels = static_cast<std::size_t>(params.channels);
    const std::uint64_t W = params.windows;
    const auto block_words = static_cast<std::size_t>(size->block);
    const auto block_samples = static_cast<std::size_t>(W * params.samples);  // <= block_words

    const std::uint8_t* raw = bytes.data() + 1;  // byte 0 is the chip header
    const std::size_t n_words = (bytes.size() - 1) / 2;
    const std::size_t n_blocks = n_words / block_words;

    // First pass: channel of every block, and room per channel. A label is
    // 16 bits wide, so a block's labels stop where L0 + k would pass 65535.
    std::vector<BlockRef> blocks;
    blocks.reserve(n_blocks);
    std::vector<std::size_t> block_count(channels, 0);
    std::vector<std::size_t> label_count(channels, 0);
    std::uint64_t total_labels = 0;
    for (std::size_t b = 0; b < n_blocks; ++b) {
        const std::size_t first = b * block_words;
        const std::uint16_t h = le16(raw + 2 * first);
        const std::uint32_t channel = static_cast<std::uint32_t>(h & cache.chanmask) >> cache.chan_shift;
        if (channel >= channels) return std::unexpected(ParsingError::InvalidChannel);
        const std::uint16_t l0 = h & cache.windmask;
        const std::uint64_t n_labels = std::min<std::uint64_t>(W, 65536U - l0);
        blocks.push_back({first, channel, l0, static_cast<std::uint32_t>(n_labels)});
        ++block_count[channel];
        label_count[channel] += static_cast<std::size_t>(n_labels);
        total_labels += n_labels;
    }
    // Blocks without samples (S = 0) still carry W labels each; refuse a
    // window count that would turn a small event into a flood of labels.
    if (total_labels > std::max<std::uint64_t>(n_words, kMaxTimeAxis))
        return std::unexpected(ParsingError::InvalidParameters);

    event.resize_channels(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        if (block_count[c] == 0) continue;
        if (event.samples_wanted(c)) event.data[c].reserve(block_count[c] * block_samples);  // bounded by the event's words
        event.window_labels[c].reserve(label_count[c]);
    }
    const auto header_words = static_cast<std::size_t>(cache.n_window_headers);
    for (const auto& block : blocks) {
        if (event.samples_wanted(block.channel)) {
            auto& data = event.data[block.channel];
            const std::size_t offset = data.size();
            data.resize(offset + block_samples);
            float* out = data.data() + offset;
            const std::uint8_t* in = raw + 2 * (block.first + header_words);
            for (std::size_t k = 0; k < block_samples; ++k)
                out[k] = static_cast<float>(static_cast<std::uint16_t>(~le16(in + 2 * k)) & cache.data_mask);
        }
        if (block.n_labels == 0) continue;  // W = 0
        // (L0 + k) mod W for k = 0 .. n_labels - 1, stepping round the ring.
        auto& labels = event.window_labels[block.channel];
        std::uint64_t label = block.first_label % W;
        for (std::uint32_t k = 0; k < block.n_labels; ++k) {
            labels.push_back(static_cast<std::uint16_t>(label));
            if (++label == W) label = 0;
        }
    }
    if (auto ok = set_time_axis(event, params); !ok) return std::unexpected(ok.error());
    return {};
}

}  // namespace vintrel::parsing
