// The check of a whole ostra96 data block: up to six chips of 131140 bytes,
// each with sixteen protected channel regions of 4096 little-endian words,
// followed by a 2-byte block footer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

namespace vintrel::ecc {

inline constexpr std::size_t kChipBytes = 131140;
inline constexpr std::size_t kChipsMax = 6;
inline constexpr std::size_t kChannelsPerChip = 16;
inline constexpr std::size_t kChannelsMax = kChipsMax * kChannelsPerChip;
inline constexpr std::size_t kRegionOffset = 3;       // chip header byte + channel header word
inline constexpr std::size_t kChannelStride = 8196;   // header word + 4096 words + footer word
inline constexpr std::size_t kRegionBytes = 8192;     // 4096 protected words
inline constexpr std::size_t kBlockFooterBytes = 2;

// Byte range [start, end) of one protected channel region within a block.
struct ChannelRange {
    std::size_t start;
    std::size_t end;
};

// The 96 regions of a six-chip block, channel i = chip * 16 + k; built once,
// on first use, and read-only afterwards.
const std::array<ChannelRange, kChannelsMax>& channel_offsets();

// One word that failed the check.
struct CheckRecord {
    std::size_t offset;    // byte offset within the channel region
    std::size_t position;  // byte offset within the block
    std::uint16_t word;
    std::uint16_t corrected;
    std::uint8_t bit;
    std::uint8_t correctable;
};

// Blocks the layout does not fit, and the one resource failure of the check.
enum class BlockError : std::uint8_t {
    TooShort,      // under 2 bytes: not even the block footer
    TooManyChips,  // more than six chips
    Truncated,     // the last chip's channel regions run past the end
    OutOfMemory,   // a record list could not grow
};
std::string_view message(BlockError error) noexcept;

// Number of chips in a block of `size` bytes (at least 2): the chips are
// counted by rounding up, so a partial last chip counts as a chip.
constexpr std::size_t chip_count(std::size_t size) {
    return (size - kBlockFooterBytes + kChipBytes - 1) / kChipBytes;
}

// Checks every word of every channel region, channels in parallel on the
// worker pool; records are ordered by channel, then by offset.
std::expected<std::vector<CheckRecord>, BlockError> ecc_check_block(std::span<const std::uint8_t> block);

// Writes the corrected word of every correctable record into `block`
// (little-endian); uncorrectable records leave their words as they are.
void apply_corrections(std::span<std::uint8_t> block, std::span<const CheckRecord> records);

}  // namespace vintrel::ecc
