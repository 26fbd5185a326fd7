// Finding the failing words of one ostra96 channel region: the hot loop of
// the block check. A word fails when any of its four syndrome bits or its
// overall parity is 1; sound words, almost all of a real block, are passed
// over many at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vintrel::ecc {

inline constexpr std::size_t kRegionWords = 4096;

// Writes the indices (0..4095, ascending) of the failing little-endian words
// of the 8192-byte region at `region` into `indices`, which has room for
// kRegionWords; returns how many there are. Uses the widest vector kernel
// the CPU supports.
std::size_t find_failing_words(const std::uint8_t* region, std::uint16_t* indices) noexcept;

// The same with the portable kernel only, for cross-checking the fast one.
std::size_t find_failing_words_portable(const std::uint8_t* region, std::uint16_t* indices) noexcept;

}  // namespace vintrel::ecc
