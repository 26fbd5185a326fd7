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

// Checks the words of one channel region, appending failures in offset order.
// Returns false if the record list could not grow.
//
// Sixteen words are tested at once: all pass when every syndrome bit and the
// overall parity are 0, which holds for most groups of a real block, so the
// word-by-word check runs only for the few groups that fail. Each parity is
// an XOR fold of the masked word; after the first fold step (by 8) a parity's
// eight remaining bits sit in a lane's low byte, so two parities share one
// lane for the steps by 4, 2 and 1 and end in bits 0 and 8.
VINTREL_WIDE_CLONES bool check_region(std::span<const std::uint8_t> block, ChannelRange range,
                                      std::vector<CheckRecord>& out) noexcept {
    static_assert(kRegionBytes % kLaneBytes == 0);
    const std::uint8_t* p = block.data() + range.start;
    try {
        for (std::size_t group = 0; group < kRegionBytes; group += kLaneBytes) {
            Lanes v;
            std::memcpy(&v, p + group, sizeof v);
            if constexpr (std::endian::native == std::endian::big) v = v << 8 | v >> 8;
            Lanes s0 = v & kSyndromeMasks[0], s1 = v & kSyndromeMasks[1];
            Lanes s2 = v & kSyndromeMasks[2], s3 = v & kSyndromeMasks[3];
            Lanes c = v ^ v >> 8;
            s0 ^= s0 >> 8, s1 ^= s1 >> 8, s2 ^= s2 >> 8, s3 ^= s3 >> 8;
            Lanes a = (s0 & 0xFF) | s1 << 8;
            Lanes b = (s2 & 0xFF) | s3 << 8;
            a ^= a >> 4, b ^= b >> 4, c ^= c >> 4;
            a ^= a >> 2, b ^= b >> 2, c ^= c >> 2;
            a ^= a >> 1, b ^= b >> 1, c ^= c >> 1;
            const Lanes bad = ((a | b) & 0x0101) | (c & 1);
            std::uint64_t quarters[4];
            std::memcpy(quarters, &bad, sizeof quarters);
            if ((quarters[0] | quarters[1] | quarters[2] | quarters[3]) == 0) [[likely]]
                continue;
            for (std::size_t j = group; j < group + kLaneBytes; j += 2) {
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
