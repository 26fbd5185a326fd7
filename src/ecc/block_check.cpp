#include "ecc/block_check.hpp"

#include <new>

#include "ecc/ostra96.hpp"
#include "ecc/word_scan.hpp"
#include "concurrency/worker_pool.hpp"

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

// Checks the words of one channel region, appending failures in offset order.
// Returns false if the record list could not grow.
bool check_region(std::span<const std::uint8_t> block, ChannelRange range, std::vector<CheckRecord>& out) noexcept {
    static_assert(kRegionBytes == 2 * kRegionWords);
    const std::uint8_t* p = block.data() + range.start;
    std::array<std::uint16_t, kRegionWords> failing;
    const std::size_t count = find_failing_words(p, failing.data());
    try {
        out.reserve(count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t j = 2 * std::size_t{failing[i]};
        if (auto check = check_word(static_cast<std::uint16_t>(p[j] | p[j + 1] << 8)))
            out.push_back({j, range.start + j, check->word, check->corrected, check->bit, check->correctable});
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

    const concurrency::ForkHold no_fork_meanwhile;
    std::array<std::vector<CheckRecord>, kChannelsMax> per_channel;
    std::array<bool, kChannelsMax> grown{};
    auto task = [&](std::size_t i) { grown[i] = check_region(block, offsets[i], per_channel[i]); };
    concurrency::parallel_for(channels, task);

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
