#include "ecc/block_check.hpp"

#include <bit>
#include <cstring>
#include <new>

#include "ecc/ostra96.hpp"
#include "ecc/worker_pool.hpp"

namespace vintrel::ecc {
namespace {

constexpr std::array<ChannelRange, kChannelsMax> build_channel_offsets() {
    std::array<ChannelRange, kChannelsMax> ranges{};
    for (std::size_t chip = 0; chip < kChipsMax; ++chip)
        for (std::size_t k = 0; k < kChannelsPerChip; ++k) {
            const std::size_t start = chip * kChipBytes + kRegionOffset + k * kChannelStride;
            ranges[chip * kChannelsPerChip + k] = {start, start + kRegionBytes};
        }
    return ranges;
}

// Sixteen words side by side, one per 16-bit lane (GCC/Clang vector
// extension: two SSE2 registers on x86-64, one AVX2 register where the clone
// below is chosen, NEON on ARM).
using Lanes = std::uint16_t __attribute__((vector_size(32)));
constexpr std::size_t kLaneBytes = sizeof(Lanes);

#if defined(__x86_64__) && defined(__GNUC__)
#define VINTREL_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VINTREL_WIDE_CLONES
#endif

// The low and the high bytes of the syndrome masks, paired two to a 16-bit
// lane: (s0, s1) and (s2, s3). The overall parity needs no mask.
constexpr std::uint16_t byte_pair(std::uint16_t first, std::uint16_t second) {
    return static_cast<std::uint16_t>(first | second << 8);
}
constexpr std::uint16_t kLow01 = byte_pair(kSyndromeMasks[0] & 0xFF, kSyndromeMasks[1] & 0xFF);
constexpr std::uint16_t kHigh01 = byte_pair(kSyndromeMasks[0] >> 8, kSyndromeMasks[1] >> 8);
constexpr std::uint16_t kLow23 = byte_pair(kSyndromeMasks[2] & 0xFF, kSyndromeMasks[3] & 0xFF);
constexpr std::uint16_t kHigh23 = byte_pair(kSyndromeMasks[2] >> 8, kSyndromeMasks[3] >> 8);

// Checks the words of one channel region, appending failures in offset order.
// Returns false if the record list could not grow.
//
// Sixteen words are tested at once, one per 16-bit lane. A parity of a
// masked word is the parity of (low byte AND low mask) XOR (high byte AND
// high mask); with each byte copied into both halves of a lane, two such
// 8-bit values fit one lane and fold (by 4, 2, 1) to bits 0 and 8. A lane
// with any of the five parities set holds a failing word; only those words
// go through the word check, and most groups of a real block have none.
VINTREL_WIDE_CLONES bool check_region(std::span<const std::uint8_t> block, ChannelRange range,
                                      std::vector<CheckRecord>& out) noexcept {
    static_assert(kRegionBytes % kLaneBytes == 0);
    const std::uint8_t* p = block.data() + range.start;
    try {
        for (std::size_t group = 0; group < kRegionBytes; group += kLaneBytes) {
            Lanes v;
            std::memcpy(&v, p + group, sizeof v);
            if constexpr (std::endian::native == std::endian::big) v = v << 8 | v >> 8;
            const Lanes low = (v & 0x00FF) | v << 8;   // low byte in both halves
            const Lanes high = (v & 0xFF00) | v >> 8;  // high byte in both halves
            Lanes a = (low & kLow01) ^ (high & kHigh01);
            Lanes b = (low & kLow23) ^ (high & kHigh23);
            Lanes c = low ^ high;
            a ^= a >> 4, b ^= b >> 4, c ^= c >> 4;
            a ^= a >> 2, b ^= b >> 2, c ^= c >> 2;
            a ^= a >> 1, b ^= b >> 1, c ^= c >> 1;
            const Lanes bad = ((a | b) & 0x0101) | (c & 1);
            std::uint64_t quarters[kLaneBytes / 8];
            std::memcpy(quarters, &bad, sizeof quarters);
            std::uint64_t any = 0;
            for (std::uint64_t q : quarters) any |= q;
            if (any == 0) [[likely]]
                continue;
            for (std::size_t lane = 0; lane < kLaneBytes / 2; ++lane) {
                if (bad[lane] == 0) continue;
                const std::size_t j = group + 2 * lane;
                auto check = check_word(static_cast<std::uint16_t>(p[j] | p[j + 1] << 8));
                if (check) out.push_back({j, range.start + j, check->word, check->corrected, check->bit, check->correctable});
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

const std::array<ChannelRange, kChannelsMax>& channel_offsets() {
    // A function-local static: initialised exactly once, race-free.
    static const std::array<ChannelRange, kChannelsMax> CHANNEL_OFFSETS = build_channel_offsets();
    return CHANNEL_OFFSETS;
}

std::string_view message(BlockError error) noexcept {
    switch (error) {
        case BlockError::TooShort: return "data block is shorter than its 2-byte footer";
        case BlockError::TooManyChips: return "data block holds more than six chips";
        case BlockError::Truncated: return "data block ends inside the channel regions of its last chip";
        case BlockError::OutOfMemory: break;
    }
    return "out of memory while checking the data block";
}

std::expected<std::vector<CheckRecord>, BlockError> ecc_check_block(std::span<const std::uint8_t> block) {
    if (block.size() < kBlockFooterBytes) return std::unexpected(BlockError::TooShort);
    if (block.size() - kBlockFooterBytes > kChipsMax * kChipBytes) return std::unexpected(BlockError::TooManyChips);
    const std::size_t channels = chip_count(block.size()) * kChannelsPerChip;
    const auto& offsets = channel_offsets();
    // Regions grow with the channel index, so the last one bounds them all.
    if (channels > 0 && offsets[channels - 1].end > block.size()) return std::unexpected(BlockError::Truncated);

    const ForkHold no_fork_meanwhile;
    std::array<std::vector<CheckRecord>, kChannelsMax> per_channel;
    std::array<bool, kChannelsMax> grown{};
    auto task = [&](std::size_t i) { grown[i] = check_region(block, offsets[i], per_channel[i]); };
    parallel_for(channels, task);

    std::size_t total = 0;
    for (std::size_t i = 0; i < channels; ++i) {
        if (!grown[i]) return std::unexpected(BlockError::OutOfMemory);
        total += per_channel[i].size();
    }
    std::vector<CheckRecord> records;
    records.reserve(total);
    for (std::size_t i = 0; i < channels; ++i) records.insert(records.end(), per_channel[i].begin(), per_channel[i].end());
    return records;
}

void apply_corrections(std::span<std::uint8_t> block, std::span<const CheckRecord> records) {
    for (const CheckRecord& r : records) {
        if (r.correctable != 1 || r.position + 2 > block.size()) continue;
        block[r.position] = static_cast<std::uint8_t>(r.corrected & 0xFF);
        block[r.position + 1] = static_cast<std::uint8_t>(r.corrected >> 8);
    }
}

}  // namespace vintrel::ecc
