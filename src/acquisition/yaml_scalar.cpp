// YAML 1.1 scalar resolution, matching the implicit resolvers of PyYAML's
// SafeLoader: bool, float, int, null; everything else is a string.
#include "acquisition/yaml_value.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <string>

namespace vintrel {
namespace {

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";

bool is_one_of(std::string_view s, std::initializer_list<std::string_view> words) {
    return std::find(words.begin(), words.end(), s) != words.end();
}

std::optional<bool> parse_bool(std::string_view s) {
    if (is_one_of(s, {"yes", "Yes", "YES", "true", "True", "TRUE", "on", "On", "ON"})) return true;
    if (is_one_of(s, {"no", "No", "NO", "false", "False", "FALSE", "off", "Off", "OFF"})) return false;
    return std::nullopt;
}

bool is_null(std::string_view s) { return is_one_of(s, {"", "~", "null", "Null", "NULL"}); }

bool all_of(std::string_view s, auto pred) {
    return std::all_of(s.begin(), s.end(), [&](char c) { return pred(static_cast<unsigned char>(c)); });
}
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_digit_(unsigned char c) { return is_digit(c) || c == '_'; }

// One sexagesimal part after a colon: [0-5]?[0-9].
bool is_sexagesimal_part(std::string_view p) {
    if (p.size() == 1) return is_digit(p[0]);
    return p.size() == 2 && p[0] >= '0' && p[0] <= '5' && is_digit(p[1]);
}

// `[1-9][0-9_]*(:[0-5]?[0-9])+` after the sign; returns the parts.
std::optional<std::vector<std::string_view>> split_sexagesimal(std::string_view s, bool first_nonzero) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t colon = s.find(':', start);
        parts.push_back(s.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (parts.size() < 2) return std::nullopt;
    std::string_view head = parts.front();
    if (head.empty() || !is_digit(head[0]) || (first_nonzero && head[0] == '0') || !all_of(head, is_digit_))
        return std::nullopt;
    for (std::size_t i = 1; i < parts.size(); ++i)
        if (!is_sexagesimal_part(parts[i])) return std::nullopt;
    return parts;
}

// v = v * factor + addend, modulo 2^64, noting overflow of the exact value.
void mul_add(YamlInt& v, std::uint64_t factor, std::uint64_t addend) {
    std::uint64_t product, sum;
    if (__builtin_mul_overflow(v.magnitude, factor, &product)) v.fits = false;
    if (__builtin_add_overflow(product, addend, &sum)) v.fits = false;
    v.magnitude = sum;
}

// Accumulates digits of `base`, skipping '_', keeping the value modulo 2^64
// and noting overflow of the exact value.
bool accumulate(YamlInt& v, std::string_view digits, unsigned base) {
    for (char ch : digits) {
        if (ch == '_') continue;
        unsigned d;
        if (ch >= '0' && ch <= '9') d = static_cast<unsigned>(ch - '0');
        else if (ch >= 'a' && ch <= 'f') d = static_cast<unsigned>(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'F') d = static_cast<unsigned>(ch - 'A' + 10);
        else return false;
        if (d >= base) return false;
        mul_add(v, base, d);
    }
    return true;
}

std::optional<double> parse_float_body(std::string_view s);

}  // namespace

std::optional<YamlInt> parse_yaml_int(std::string_view text) {
    YamlInt v;
    std::string_view s = text;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        v.negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || !is_digit(static_cast<unsigned char>(s[0]))) return std::nullopt;
    if (s.size() > 2 && s[0] == '0' && s[1] == 'b') {
        std::string_view d = s.substr(2);
        if (!all_of(d, [](unsigned char c) { return c == '0' || c == '1' || c == '_'; })) return std::nullopt;
        if (!accumulate(v, d, 2)) return std::nullopt;
    } else if (s.size() > 2 && s[0] == '0' && s[1] == 'x') {
        std::string_view d = s.substr(2);
        if (!all_of(d, [](unsigned char c) { return std::isxdigit(c) || c == '_'; })) return std::nullopt;
        if (!accumulate(v, d, 16)) return std::nullopt;
    } else if (s.find(':') != std::string_view::npos) {
        auto parts = split_sexagesimal(s, true);
        if (!parts) return std::nullopt;
        for (std::string_view p : *parts) {
            YamlInt part;
            accumulate(part, p, 10);
            if (!part.fits) v.fits = false;
            mul_add(v, 60, part.magnitude);
        }
    } else if (s.size() > 1 && s[0] == '0') {
        if (!all_of(s.substr(1), [](unsigned char c) { return (c >= '0' && c <= '7') || c == '_'; }))
            return std::nullopt;
        accumulate(v, s, 8);
    } else {
        if (!all_of(s, is_digit_)) return std::nullopt;
        if (s[0] == '0' && s.size() > 1) return std::nullopt;
        accumulate(v, s, 10);
    }
    if (v.magnitude == 0 && v.fits) v.negative = false;  // -0 is 0
    return v;
}

namespace {

// PyYAML's float regex (YAML 1.1), without the sign handling done by the caller.
std::optional<double> parse_float_body(std::string_view s) {
    if (is_one_of(s, {".inf", ".Inf", ".INF"})) return HUGE_VAL;
    if (is_one_of(s, {".nan", ".NaN", ".NAN"})) return std::nan("");
    std::string clean;
    for (char c : s)
        if (c != '_') clean.push_back(c);
    if (s.find(':') != std::string_view::npos) {
        // [0-9][0-9_]*(:[0-5]?[0-9])+\.[0-9_]*
        std::size_t dot = s.rfind('.');
        if (dot == std::string_view::npos) return std::nullopt;
        std::string_view frac = s.substr(dot + 1);
        if (!all_of(frac, is_digit_)) return std::nullopt;
        auto parts = split_sexagesimal(s.substr(0, dot), false);
        if (!parts) return std::nullopt;
        double value = 0;
        for (std::size_t i = 0; i < parts->size(); ++i) {
            std::string digits;
            for (char c : (*parts)[i])
                if (c != '_') digits.push_back(c);
            value = value * 60 + std::stod(digits.empty() ? "0" : digits);
        }
        std::string f = "0.";
        for (char c : frac)
            if (c != '_') f.push_back(c);
        // PyYAML multiplies the last part's fraction in; it keeps only the
        // integer parts for the base-60 sum and adds the fraction as written.
        return value + (f.size() > 2 ? std::stod(f) : 0.0);
    }
    // [0-9][0-9_]*\.[0-9_]*([eE][-+][0-9]+)?  or  \.[0-9][0-9_]*([eE][-+][0-9]+)?
    std::size_t i = 0;
    const std::size_t n = s.size();
    std::size_t int_digits = 0;
    while (i < n && is_digit_(static_cast<unsigned char>(s[i]))) {
        if (int_digits == 0 && s[i] == '_') return std::nullopt;
        ++int_digits;
        ++i;
    }
    if (i >= n || s[i] != '.') return std::nullopt;
    ++i;
    std::size_t frac_start = i;
    while (i < n && is_digit_(static_cast<unsigned char>(s[i]))) ++i;
    if (int_digits == 0 && (i == frac_start || s[frac_start] == '_')) return std::nullopt;
    if (i < n) {
        if (s[i] != 'e' && s[i] != 'E') return std::nullopt;
        ++i;
        if (i >= n || (s[i] != '-' && s[i] != '+')) return std::nullopt;
        ++i;
        if (i >= n || !all_of(s.substr(i), is_digit)) return std::nullopt;
    }
    return std::strtod(clean.c_str(), nullptr);
}

std::optional<double> parse_yaml_float(std::string_view text) {
    std::string_view s = text;
    double sign = 1.0;
    bool had_sign = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        sign = s[0] == '-' ? -1.0 : 1.0;
        had_sign = true;
        s.remove_prefix(1);
    }
    if (had_sign && is_one_of(s, {".nan", ".NaN", ".NAN"})) return std::nullopt;
    if (had_sign && !s.empty() && s[0] == '.' && !is_one_of(s, {".inf", ".Inf", ".INF"})) return std::nullopt;
    auto v = parse_float_body(s);
    if (!v) return std::nullopt;
    return sign * *v;
}

YamlValue scalar(YamlValue::Kind kind, std::string_view text) {
    YamlValue v;
    v.kind = kind;
    v.text = std::string(text);
    return v;
}

}  // namespace

YamlValue resolve_plain_scalar(std::string_view text) {
    if (is_null(text)) return scalar(YamlValue::Kind::Null, text);
    if (auto b = parse_bool(text)) {
        YamlValue v = scalar(YamlValue::Kind::Bool, text);
        v.boolean = *b;
        return v;
    }
    if (auto f = parse_yaml_float(text)) {
        YamlValue v = scalar(YamlValue::Kind::Float, text);
        v.real = *f;
        return v;
    }
    if (auto i = parse_yaml_int(text)) {
        YamlValue v = scalar(YamlValue::Kind::Int, text);
        v.integer = *i;
        return v;
    }
    return scalar(YamlValue::Kind::String, text);
}

YamlValue resolve_tagged_scalar(std::string_view tag, std::string_view text, bool plain) {
    if (tag.starts_with(kTagPrefix)) {
        std::string_view name = tag.substr(kTagPrefix.size());
        if (name == "str") return scalar(YamlValue::Kind::String, text);
        if (name == "int") {
            if (auto i = parse_yaml_int(text)) {
                YamlValue v = scalar(YamlValue::Kind::Int, text);
                v.integer = *i;
                return v;
            }
            return scalar(YamlValue::Kind::String, text);
        }
        if (name == "float") {
            if (auto f = parse_yaml_float(text)) {
                YamlValue v = scalar(YamlValue::Kind::Float, text);
                v.real = *f;
                return v;
            }
            if (auto i = parse_yaml_int(text)) {  // PyYAML's float() accepts integer text
                YamlValue v = scalar(YamlValue::Kind::Float, text);
                v.real = static_cast<double>(i->magnitude) * (i->negative ? -1.0 : 1.0);
                return v;
            }
            return scalar(YamlValue::Kind::String, text);
        }
        if (name == "bool") {
            if (auto b = parse_bool(text)) {
                YamlValue v = scalar(YamlValue::Kind::Bool, text);
                v.boolean = *b;
                return v;
            }
            return scalar(YamlValue::Kind::String, text);
        }
        if (name == "null") return scalar(YamlValue::Kind::Null, text);
    }
    if (tag == "!" ) return scalar(YamlValue::Kind::String, text);
    // Any other tag is looked through to the value it tags.
    return plain ? resolve_plain_scalar(text) : scalar(YamlValue::Kind::String, text);
}

const YamlValue* YamlValue::find(std::string_view key) const {
    if (kind != Kind::Mapping) return nullptr;
    // A repeated key keeps its last value, as in the Python view.
    const YamlValue* found = nullptr;
    for (const auto& [k, v] : entries)
        if (k.is_string(key)) found = &v;
    return found;
}

std::optional<std::uint64_t> YamlValue::as_u64() const {
    if (kind != Kind::Int || integer.negative || !integer.fits) return std::nullopt;
    return integer.magnitude;
}

std::optional<std::uint16_t> YamlValue::as_u16() const {
    if (kind != Kind::Int || integer.negative) return std::nullopt;
    return static_cast<std::uint16_t>(integer.magnitude & 0xFFFF);
}

}  // namespace vintrel
