// The ostra96 per-word code: a Hamming code over bits 0..13 of each 16-bit
// sample word (data bits 0..9, check bits 10..13) plus an overall parity over
// all 16 bits, which tells single errors (parity odd) from double errors.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace vintrel::ecc {

// Word bits covered by syndrome bits s0..s3. Each mask holds exactly one check
// bit (10..13), so the check bits answer syndrome values 1, 2, 4 and 8.
inline constexpr std::array<std::uint16_t, 4> kSyndromeMasks = {0x055B, 0x0A6D, 0x138E, 0x23F0};

// Bit position named by syndrome value S = 1..15 (entry S - 1). No single
// flipped bit gives S = 15; its entry is reached only by multi-bit errors.
inline constexpr std::array<std::uint8_t, 15> kSyndromeBits = {10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15};

constexpr std::uint8_t parity(std::uint16_t bits) { return static_cast<std::uint8_t>(__builtin_parity(bits)); }

// S = s0 + 2 s1 + 4 s2 + 8 s3, each bit the parity of the masked word.
constexpr std::uint8_t syndrome_value(std::uint16_t word) {
    return static_cast<std::uint8_t>(parity(word & kSyndromeMasks[0]) | parity(word & kSyndromeMasks[1]) << 1 |
                                     parity(word & kSyndromeMasks[2]) << 2 | parity(word & kSyndromeMasks[3]) << 3);
}

// The four syndrome bits [s0, s1, s2, s3].
constexpr std::array<std::uint8_t, 4> syndrome(std::uint16_t word) {
    const std::uint8_t s = syndrome_value(word);
    return {static_cast<std::uint8_t>(s & 1), static_cast<std::uint8_t>(s >> 1 & 1),
            static_cast<std::uint8_t>(s >> 2 & 1), static_cast<std::uint8_t>(s >> 3 & 1)};
}

// Overall parity P: 1 when the word has an odd number of set bits.
constexpr std::uint8_t global_parity(std::uint16_t word) { return parity(word); }

// The bit position of syndrome value s, or nothing for 0 and for values above
// 15 (which syndrome bits larger than 1 can add up to).
constexpr std::optional<std::uint8_t> syndrome_to_index(std::uint64_t s) {
    if (s == 0 || s > kSyndromeBits.size()) return std::nullopt;
    return kSyndromeBits[s - 1];
}

// S from four syndrome elements, each 0..255, weighted 1, 2, 4, 8.
constexpr std::uint64_t syndrome_from_bits(const std::array<std::uint8_t, 4>& s) {
    return std::uint64_t{s[0]} + 2 * std::uint64_t{s[1]} + 4 * std::uint64_t{s[2]} + 8 * std::uint64_t{s[3]};
}

// Outcome of checking one word that failed the code.
struct WordCheck {
    std::uint16_t word;
    std::uint16_t corrected;
    std::uint8_t bit;
    std::uint8_t correctable;  // the overall parity of the word as read
};

// Bit reported, and flipped, when only the overall parity fails (S = 0, P = 1).
inline constexpr std::uint8_t kParityOnlyBit = 15;

// Checks one word; nothing when it is sound.
//   S = 0, P = 0: sound.
//   S != 0, P = 1: single error at the table's bit, corrected by flipping it.
//   S != 0, P = 0: double error, detected; the word is left as read.
//   S = 0, P = 1: the error lies in bit 14 or 15, outside the syndrome. Bits
//     0..13 are intact; bit 15 is flipped so that the corrected word passes
//     the check again (which of 14 and 15 flipped cannot be told apart).
constexpr std::optional<WordCheck> check_word(std::uint16_t word) {
    const std::uint8_t s = syndrome_value(word);
    const std::uint8_t p = global_parity(word);
    if (s == 0 && p == 0) return std::nullopt;
    const std::uint8_t bit = s == 0 ? kParityOnlyBit : kSyndromeBits[s - 1];
    const auto corrected = p == 1 ? static_cast<std::uint16_t>(word ^ (1u << bit)) : word;
    return WordCheck{word, corrected, bit, p};
}

}  // namespace vintrel::ecc
