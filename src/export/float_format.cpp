#include "export/float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace vintrel::csv {
namespace {

// Every integer below 2^24 is a float, and so is each neighbour one apart:
// its shortest round-trip digits are exactly its integer digits.
constexpr float kExactIntegers = 16777216.0f;

char* append(char* out, const char* text, std::size_t n) {
    std::memcpy(out, text, n);
    return out + n;
}

// Values from 1 up to 2^23 that are not whole, which fill most sample cells
// after pedestal correction. The shortest digits are those of the fewest
// decimals k for which the k-decimal value nearest to the float reads back
// as it, i.e. lies within half a gap to its neighbours (ties to an even
// mantissa), tested in exact integer arithmetic. Null when this path cannot
// decide (a value exactly between two k-decimal values), for the general
// path.
char* format_fraction(float magnitude, char* out) {
    std::uint32_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    // magnitude = mantissa / 2^shift, with the implicit leading bit; 1 <= shift <= 23.
    const std::uint64_t mantissa = (bits & 0x7FFFFF) | 0x800000;
    const int shift = 150 - static_cast<int>(bits >> 23);
    const std::uint64_t whole = mantissa >> shift;
    int whole_digits = 1;
    for (std::uint64_t w = whole; w >= 10; w /= 10) ++whole_digits;

    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    const std::uint64_t low_bits = (std::uint64_t{1} << shift) - 1;
    std::uint64_t scale = 1;
    // Nine significant digits always read back; the products stay below 2^55.
    for (int k = 1; whole_digits + k <= 9; ++k) {
        scale *= 10;
        const std::uint64_t scaled = mantissa * scale;  // magnitude x 10^k x 2^shift
        const std::uint64_t rest = scaled & low_bits;
        if (rest == half) return nullptr;
        const std::uint64_t nearest = (scaled >> shift) + (rest > half ? 1 : 0);
        // |nearest / 10^k - magnitude| against 2^-(shift+1), both times 10^k x 2^(shift+1).
        const std::uint64_t a = nearest << (shift + 1), b = 2 * scaled;
        const std::uint64_t distance = a > b ? a - b : b - a;
        if (distance > scale || (distance == scale && mantissa % 2 != 0)) continue;
        // A carry into the whole part would end in a zero decimal, as would
        // any form that has a shorter one: neither is expected; leave them.
        std::uint64_t decimals = nearest - whole * scale;
        if (decimals >= scale || decimals % 10 == 0) return nullptr;
        out = std::to_chars(out, out + kMaxFloatChars, whole).ptr;
        *out++ = '.';
        for (int i = k - 1; i >= 0; --i, decimals /= 10) out[i] = static_cast<char>('0' + decimals % 10);
        return out + k;
    }
    return nullptr;
}

}  // namespace

char* format_float(float value, char* out) {
    if (std::isnan(value)) return out;
    if (std::isinf(value)) return value < 0 ? append(out, "-inf", 4) : append(out, "inf", 3);
    if (value == 0.0f) return std::signbit(value) ? append(out, "-0", 2) : append(out, "0", 1);

    // Fast path for the whole numbers that fill most cells (labels, times).
    const float magnitude = std::fabs(value);
    if (magnitude < kExactIntegers && value == std::trunc(value))
        return std::to_chars(out, out + kMaxFloatChars, static_cast<std::int32_t>(value)).ptr;
    if (magnitude >= 1.0f && magnitude < kExactIntegers / 2) {
        char* digits = std::signbit(value) ? append(out, "-", 1) : out;
        if (char* end = format_fraction(magnitude, digits)) return end;
    }

    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX.
    char sci[32];
    const char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char* p = sci;
    if (*p == '-') *out++ = *p++;
    char digits[16];
    int n = 0;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+'), end, exponent);

    // The value is 0.d1d2...dn x 10^(exponent + 1): `point` digits go before
    // the decimal point.
    const int point = exponent + 1;
    if (point <= 0) {
        out = append(out, "0.", 2);
        std::memset(out, '0', static_cast<std::size_t>(-point));
        out += -point;
        return append(out, digits, static_cast<std::size_t>(n));
    }
    if (point >= n) {
        out = append(out, digits, static_cast<std::size_t>(n));
        std::memset(out, '0', static_cast<std::size_t>(point - n));
        return out + (point - n);
    }
    out = append(out, digits, static_cast<std::size_t>(point));
    *out++ = '.';
    return append(out, digits + point, static_cast<std::size_t>(n - point));
}

}  // namespace vintrel::csv
