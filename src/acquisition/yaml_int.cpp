// The integer yaml.safe_load makes of a scalar tagged !!int (explicitly, or
// implicitly by the int pattern). PyYAML drops every '_', takes one leading
// sign, picks the base from a 0b / 0x / 0 prefix or splits base-60 parts at
// ':', and hands each piece to Python's int(), which allows surrounding
// whitespace, another sign, a base prefix and any Unicode decimal digit.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/yaml_value.hpp"

namespace vintrel {
namespace {

// First code point (the digit zero) of each run of ten Unicode decimal
// digits (category Nd): every such digit is run start + its value. Generated
// from Python 3.11's unicodedata (Unicode 14.0.0).
constexpr std::array<char32_t, 66> kDigitZeros{
    0x0030,  0x0660,  0x06F0,  0x07C0,  0x0966,  0x09E6,  0x0A66,  0x0AE6,  0x0B66,  0x0BE6,  0x0C66,
    0x0CE6,  0x0D66,  0x0DE6,  0x0E50,  0x0ED0,  0x0F20,  0x1040,  0x1090,  0x17E0,  0x1810,  0x1946,
    0x19D0,  0x1A80,  0x1A90,  0x1B50,  0x1BB0,  0x1C40,  0x1C50,  0xA620,  0xA8D0,  0xA900,  0xA9D0,
    0xA9F0,  0xAA50,  0xABF0,  0xFF10,  0x104A0, 0x10D30, 0x11066, 0x110F0, 0x11136, 0x111D0, 0x112F0,
    0x11450, 0x114D0, 0x11650, 0x116C0, 0x11730, 0x118E0, 0x11950, 0x11C50, 0x11D50, 0x11DA0, 0x16A60,
    0x16AC0, 0x16B50, 0x1D7CE, 0x1D7D8, 0x1D7E2, 0x1D7EC, 0x1D7F6, 0x1E140, 0x1E2F0, 0x1E950, 0x1FBF0};

// The code points str.isspace() accepts, which int() strips.
bool is_python_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

int decimal_value(char32_t c) {
    auto it = std::upper_bound(kDigitZeros.begin(), kDigitZeros.end(), c);
    if (it == kDigitZeros.begin()) return -1;
    char32_t zero = *(it - 1);
    return c - zero < 10 ? static_cast<int>(c - zero) : -1;
}

// Decodes one code point of valid UTF-8 (the file was checked when read).
char32_t next_code_point(std::string_view s, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = byte(i++);
    if (b < 0x80) return b;
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
    char32_t c = b & (0x3F >> extra);
    for (int k = 0; k < extra && i < s.size(); ++k) c = (c << 6) | (byte(i++) & 0x3F);
    return c;
}

// What int() parses: whitespace as ' ', decimal digits as ASCII, other
// non-ASCII characters as '?', which no base accepts.
std::string to_ascii(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        char32_t c = next_code_point(s, i);
        int d = c < 0x80 ? -1 : decimal_value(c);
        if (c >= 0x80 && is_python_space(c)) out.push_back(' ');
        else if (d >= 0) out.push_back(static_cast<char>('0' + d));
        else out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

// v = v * factor + addend, modulo 2^64, noting overflow of the exact value.
void mul_add(YamlInt& v, std::uint64_t factor, std::uint64_t addend) {
    std::uint64_t product, sum;
    if (__builtin_mul_overflow(v.magnitude, factor, &product)) v.fits = false;
    if (__builtin_add_overflow(product, addend, &sum)) v.fits = false;
    v.magnitude = sum;
}

// The digits of int(text, base) once the text is ASCII: a span of digit
// characters between optional whitespace, sign and base prefix.
struct IntText {
    bool negative = false;
    std::string_view digits;
};

std::optional<IntText> split_int_text(std::string_view s, unsigned base) {
    while (!s.empty() && is_ascii_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_ascii_space(s.back())) s.remove_suffix(1);
    IntText t;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        t.negative = s[0] == '-';
        s.remove_prefix(1);
    }
    char prefix = base == 16 ? 'x' : base == 8 ? 'o' : base == 2 ? 'b' : '\0';
    if (prefix && s.size() >= 2 && s[0] == '0' && (s[1] | 0x20) == prefix) s.remove_prefix(2);
    if (s.empty()) return std::nullopt;
    for (char c : s)
        if (digit_value(c) >= static_cast<int>(base)) return std::nullopt;
    t.digits = s;
    return t;
}

// Python's int(text, base) for text without '_', as a YamlInt.
std::optional<YamlInt> python_int(std::string_view text, unsigned base) {
    std::string ascii = to_ascii(text);
    auto t = split_int_text(ascii, base);
    if (!t) return std::nullopt;
    YamlInt v;
    for (char c : t->digits) mul_add(v, base, static_cast<std::uint64_t>(digit_value(c)));
    v.negative = t->negative && !(v.fits && v.magnitude == 0);
    return v;
}

// A signed integer of any size, for the base-60 sum whose parts may be
// negative: 32-bit limbs, least significant first, no leading zero limbs.
struct BigInt {
    bool negative = false;
    std::vector<std::uint32_t> limbs;

    void mul_add(std::uint32_t factor, std::uint32_t addend) {
        std::uint64_t carry = addend;
        for (auto& limb : limbs) {
            std::uint64_t t = std::uint64_t{limb} * factor + carry;
            limb = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        if (carry) limbs.push_back(static_cast<std::uint32_t>(carry));
    }
    std::uint64_t low64() const {
        std::uint64_t v = limbs.empty() ? 0 : limbs[0];
        if (limbs.size() > 1) v |= std::uint64_t{limbs[1]} << 32;
        return v;
    }
};

int compare_magnitude(const BigInt& a, const BigInt& b) {
    if (a.limbs.size() != b.limbs.size()) return a.limbs.size() < b.limbs.size() ? -1 : 1;
    for (std::size_t i = a.limbs.size(); i-- > 0;)
        if (a.limbs[i] != b.limbs[i]) return a.limbs[i] < b.limbs[i] ? -1 : 1;
    return 0;
}

// a += b for signed values.
void add(BigInt& a, const BigInt& b) {
    if (a.negative == b.negative || b.limbs.empty()) {
        std::uint64_t carry = 0;
        if (a.limbs.size() < b.limbs.size()) a.limbs.resize(b.limbs.size(), 0);
        for (std::size_t i = 0; i < a.limbs.size(); ++i) {
            std::uint64_t t = std::uint64_t{a.limbs[i]} + (i < b.limbs.size() ? b.limbs[i] : 0) + carry;
            a.limbs[i] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        if (carry) a.limbs.push_back(static_cast<std::uint32_t>(carry));
        return;
    }
    // Opposite signs: subtract the smaller magnitude from the larger.
    const bool a_larger = compare_magnitude(a, b) >= 0;
    const auto& big = a_larger ? a.limbs : b.limbs;
    const auto& small = a_larger ? b.limbs : a.limbs;
    std::vector<std::uint32_t> diff(big.size());
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < big.size(); ++i) {
        std::int64_t t = std::int64_t{big[i]} - (i < small.size() ? small[i] : 0) - borrow;
        borrow = t < 0;
        diff[i] = static_cast<std::uint32_t>(t + (borrow << 32));
    }
    while (!diff.empty() && diff.back() == 0) diff.pop_back();
    a.negative = a_larger ? a.negative : b.negative;
    a.limbs = std::move(diff);
    if (a.limbs.empty()) a.negative = false;
}

// Python's default cap on the digits int() converts from a decimal string
// (sys.get_int_max_str_digits()). A part beyond it makes safe_load fail.
constexpr std::size_t kMaxDecimalDigits = 4300;
// Past this many bits the running base-60 value is larger than any part can
// be, so no later part changes its sign: only its low 64 bits are tracked.
constexpr std::size_t kExactLimbs = 1024;

std::optional<BigInt> python_decimal(std::string_view text) {
    std::string ascii = to_ascii(text);
    auto t = split_int_text(ascii, 10);
    if (!t || t->digits.size() > kMaxDecimalDigits) return std::nullopt;
    BigInt v;
    for (char c : t->digits) v.mul_add(10, static_cast<std::uint32_t>(c - '0'));
    v.negative = t->negative && !v.limbs.empty();
    return v;
}

// [int(p) for p in text.split(':')] summed with weights 60^k, last part first.
std::optional<YamlInt> sexagesimal(std::string_view text) {
    BigInt value;
    bool saturated = false;
    std::uint64_t low = 0;  // value modulo 2^64 once saturated
    std::size_t start = 0;
    while (true) {
        std::size_t colon = text.find(':', start);
        auto part = python_decimal(text.substr(start, colon == std::string_view::npos ? colon : colon - start));
        if (!part) return std::nullopt;
        if (saturated) {
            std::uint64_t d = part->low64();
            low = low * 60 + (part->negative ? 0 - d : d);
        } else {
            value.mul_add(60, 0);
            add(value, *part);
            if (value.limbs.size() > kExactLimbs) {
                saturated = true;
                low = value.negative ? 0 - value.low64() : value.low64();
            }
        }
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    YamlInt v;
    v.negative = value.negative;
    v.fits = !saturated && value.limbs.size() <= 2;
    v.magnitude = saturated ? (value.negative ? 0 - low : low) : value.low64();
    return v;
}

}  // namespace

std::optional<YamlInt> construct_yaml_int(std::string_view text) {
    std::string cleaned;
    for (char c : text)
        if (c != '_') cleaned.push_back(c);
    std::string_view s = cleaned;
    if (s.empty()) return std::nullopt;
    const bool minus = s[0] == '-';
    if (s[0] == '+' || s[0] == '-') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;

    std::optional<YamlInt> v;
    if (s == "0") v = YamlInt{};
    else if (s.starts_with("0b")) v = python_int(s.substr(2), 2);
    else if (s.starts_with("0x")) v = python_int(s.substr(2), 16);
    else if (s[0] == '0') v = python_int(s, 8);
    else if (s.find(':') != std::string_view::npos) v = sexagesimal(s);
    else v = python_int(s, 10);
    if (v && minus && !(v->fits && v->magnitude == 0)) v->negative = !v->negative;
    return v;
}

}  // namespace vintrel
