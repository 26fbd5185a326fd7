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

}  // namespace

char* format_float(float value, char* out) {
    if (std::isnan(value)) return out;
    if (std::isinf(value)) return value < 0 ? append(out, "-inf", 4) : append(out, "inf", 3);
    if (value == 0.0f) return std::signbit(value) ? append(out, "-0", 2) : append(out, "0", 1);

    // Fast path for the whole numbers that fill most cells (labels, times).
    if (std::fabs(value) < kExactIntegers && value == std::trunc(value))
        return std::to_chars(out, out + kMaxFloatChars, static_cast<std::int32_t>(value)).ptr;

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
