#include "ecc/word_scan.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "ecc/ostra96.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VINTREL_HAVE_AVX2_KERNEL 1
#endif

namespace vintrel::ecc {
namespace {

constexpr std::size_t kRegionBytes = 2 * kRegionWords;

// Sixteen words side by side, one per 16-bit lane (GCC/Clang vector
// extension: two SSE2 registers on x86-64, NEON on ARM).
using Lanes = std::uint16_t __attribute__((vector_size(32)));
constexpr std::size_t kLaneBytes = sizeof(Lanes);
static_assert(kRegionBytes % kLaneBytes == 0);

// The low and the high bytes of the syndrome masks, paired two to a 16-bit
// lane: (s0, s1) and (s2, s3). The overall parity needs no mask.
constexpr std::uint16_t byte_pair(std::uint16_t first, std::uint16_t second) {
    return static_cast<std::uint16_t>(first | second << 8);
}
constexpr std::uint16_t kLow01 = byte_pair(kSyndromeMasks[0] & 0xFF, kSyndromeMasks[1] & 0xFF);
constexpr std::uint16_t kHigh01 = byte_pair(kSyndromeMasks[0] >> 8, kSyndromeMasks[1] >> 8);
constexpr std::uint16_t kLow23 = byte_pair(kSyndromeMasks[2] & 0xFF, kSyndromeMasks[3] & 0xFF);
constexpr std::uint16_t kHigh23 = byte_pair(kSyndromeMasks[2] >> 8, kSyndromeMasks[3] >> 8);

// Sixteen words are tested at once, one per 16-bit lane. A parity of a
// masked word is the parity of (low byte AND low mask) XOR (high byte AND
// high mask); with each byte copied into both halves of a lane, two such
// 8-bit values fit one lane and fold (by 4, 2, 1) to bits 0 and 8.
std::size_t portable_kernel(const std::uint8_t* region, std::uint16_t* indices) noexcept {
    std::size_t count = 0;
    for (std::size_t group = 0; group < kRegionBytes; group += kLaneBytes) {
        Lanes v;
        std::memcpy(&v, region + group, sizeof v);
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
        for (std::size_t lane = 0; lane < kLaneBytes / 2; ++lane)
            if (bad[lane] != 0) indices[count++] = static_cast<std::uint16_t>(group / 2 + lane);
    }
    return count;
}

#ifdef VINTREL_HAVE_AVX2_KERNEL

// The five code bits (S in bits 0..3, P in bit 4) that one nibble of a word
// contributes, for each of the word's four nibbles. The code is linear in
// the word's bits, so a word's code is the XOR of its four nibbles' codes.
using NibbleTable = std::array<std::uint8_t, 16>;
constexpr NibbleTable nibble_table(unsigned shift) {
    NibbleTable table{};
    for (unsigned n = 0; n < 16; ++n) {
        const auto bits = static_cast<std::uint16_t>(n << shift);
        table[n] = static_cast<std::uint8_t>(syndrome_value(bits) | global_parity(bits) << 4);
    }
    return table;
}
constexpr NibbleTable kBits0to3 = nibble_table(0), kBits4to7 = nibble_table(4);
constexpr NibbleTable kBits8to11 = nibble_table(8), kBits12to15 = nibble_table(12);

__attribute__((target("avx2"))) __m256i broadcast(const NibbleTable& table) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data())));
}

// Sixteen words per step, with four byte-wise table lookups (vpshufb): every
// byte is looked up both as a low byte (x) and as a high byte (y); in each
// 16-bit lane, x's low byte XOR y's high byte is that word's code.
__attribute__((target("avx2"))) std::size_t avx2_kernel(const std::uint8_t* region, std::uint16_t* indices) noexcept {
    const __m256i t0 = broadcast(kBits0to3), t1 = broadcast(kBits4to7);
    const __m256i t2 = broadcast(kBits8to11), t3 = broadcast(kBits12to15);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i code_byte = _mm256_set1_epi16(0x00FF);
    std::size_t count = 0;
    for (std::size_t group = 0; group < kRegionBytes; group += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(region + group));
        const __m256i lo = _mm256_and_si256(v, nibble);
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
        const __m256i x = _mm256_xor_si256(_mm256_shuffle_epi8(t0, lo), _mm256_shuffle_epi8(t1, hi));
        const __m256i y = _mm256_xor_si256(_mm256_shuffle_epi8(t2, lo), _mm256_shuffle_epi8(t3, hi));
        const __m256i code = _mm256_and_si256(_mm256_xor_si256(x, _mm256_srli_epi16(y, 8)), code_byte);
        if (_mm256_testz_si256(code, code)) [[likely]]
            continue;
        // Two mask bits per lane; the even one stands for the lane.
        auto sound = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(code, _mm256_setzero_si256())));
        for (std::uint32_t failing = ~sound & 0x55555555u; failing != 0; failing &= failing - 1)
            indices[count++] = static_cast<std::uint16_t>(group / 2 + std::countr_zero(failing) / 2);
    }
    return count;
}

#endif

using Kernel = std::size_t (*)(const std::uint8_t*, std::uint16_t*) noexcept;

Kernel best_kernel() noexcept {
#ifdef VINTREL_HAVE_AVX2_KERNEL
    if (__builtin_cpu_supports("avx2")) return avx2_kernel;
#endif
    return portable_kernel;
}

}  // namespace

std::size_t find_failing_words(const std::uint8_t* region, std::uint16_t* indices) noexcept {
    static const Kernel kernel = best_kernel();  // chosen once, race-free
    return kernel(region, indices);
}

std::size_t find_failing_words_portable(const std::uint8_t* region, std::uint16_t* indices) noexcept {
    return portable_kernel(region, indices);
}

}  // namespace vintrel::ecc
