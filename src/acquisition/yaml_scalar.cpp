// Scalar resolution as PyYAML's SafeLoader does it. An untagged plain scalar,
// or any scalar under the non-specific tag `!`, is matched against the
// implicit patterns for bool, float, int, merge, null and timestamp (each
// tried only for its possible first characters; a pattern may match before
// one final line break, as Python's `$` does); anything else is a string.
// Explicit standard tags construct their type from the text.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

#include "acquisition/yaml_value.hpp"

namespace vintrel {
namespace {

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";

bool is_one_of(std::string_view s, std::initializer_list<std::string_view> words) {
    return std::find(words.begin(), words.end(), s) != words.end();
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A cursor over ASCII text for the hand-written equivalents of the patterns.
struct Cursor {
    std::string_view s;
    std::size_t i = 0;

    bool done() const { return i == s.size(); }
    bool eat(char c) {
        if (i < s.size() && s[i] == c) return ++i, true;
        return false;
    }
    template <class Pred>
    std::size_t eat_while(Pred pred) {
        std::size_t start = i;
        while (i < s.size() && pred(s[i])) ++i;
        return i - start;
    }
    template <class Pred>
    bool eat_one(Pred pred) {
        return eat_while_max(pred, 1) == 1;
    }
    template <class Pred>
    std::size_t eat_while_max(Pred pred, std::size_t max) {
        std::size_t start = i;
        while (i < s.size() && i - start < max && pred(s[i])) ++i;
        return i - start;
    }
    void sign() {
        if (!eat('-')) eat('+');
    }
};

bool digit_(char c) { return is_digit(c) || c == '_'; }
bool digit0_5(char c) { return c >= '0' && c <= '5'; }

// (?::[0-5]?[0-9])+ : one or more base-60 parts.
bool base60_parts(Cursor& c) {
    std::size_t parts = 0;
    while (c.eat(':')) {
        std::size_t start = c.i;
        if (c.eat_while_max(is_digit, 2) == 0) return false;
        if (c.i - start == 2 && !digit0_5(c.s[start])) return false;
        ++parts;
    }
    return parts > 0;
}

// [eE][-+][0-9]+ , optional.
bool exponent(Cursor& c) {
    if (!c.eat('e') && !c.eat('E')) return true;
    if (!c.eat('-') && !c.eat('+')) return false;
    return c.eat_while(is_digit) > 0;
}

bool matches_int(std::string_view s) {
    Cursor c{s};
    c.sign();
    Cursor after = c;
    if (c.eat('0')) {
        if (c.done()) return true;                                                        // 0
        if (c.eat('b')) return c.eat_while([](char x) { return x == '0' || x == '1' || x == '_'; }) > 0 && c.done();
        if (c.eat('x')) return c.eat_while([](char x) { return std::isxdigit(static_cast<unsigned char>(x)) || x == '_'; }) > 0 && c.done();
        return c.eat_while([](char x) { return (x >= '0' && x <= '7') || x == '_'; }) > 0 && c.done();
    }
    c = after;
    if (!c.eat_one([](char x) { return x >= '1' && x <= '9'; })) return false;
    c.eat_while(digit_);
    return c.done() || (base60_parts(c) && c.done());
}

bool matches_float(std::string_view s) {
    Cursor c{s};
    if (is_one_of(s, {".nan", ".NaN", ".NAN"})) return true;
    if (c.eat('.') && c.eat_one(is_digit)) {  // \.[0-9][0-9_]*(exponent)?
        c.eat_while(digit_);
        return exponent(c) && c.done();
    }
    c = Cursor{s};
    c.sign();
    if (is_one_of(s.substr(c.i), {".inf", ".Inf", ".INF"})) return true;
    if (!c.eat_one(is_digit)) return false;
    c.eat_while(digit_);
    if (c.eat('.')) {  // [0-9][0-9_]*\.[0-9_]*(exponent)?
        c.eat_while(digit_);
        return exponent(c) && c.done();
    }
    // [0-9][0-9_]*(:[0-5]?[0-9])+\.[0-9_]*
    if (!base60_parts(c) || !c.eat('.')) return false;
    c.eat_while(digit_);
    return c.done();
}

bool matches_timestamp(std::string_view s) {
    Cursor c{s};
    if (c.eat_while_max(is_digit, 4) != 4 || !c.eat('-')) return false;
    std::size_t month = c.eat_while_max(is_digit, 2);
    if (month == 0 || !c.eat('-')) return false;
    std::size_t day = c.eat_while_max(is_digit, 2);
    if (c.done()) return month == 2 && day == 2;  // date only: YYYY-MM-DD
    if (day == 0) return false;
    if (!c.eat('T') && !c.eat('t') && c.eat_while([](char x) { return x == ' ' || x == '\t'; }) == 0) return false;
    if (c.eat_while_max(is_digit, 2) == 0 || !c.eat(':') || c.eat_while_max(is_digit, 2) != 2 || !c.eat(':') ||
        c.eat_while_max(is_digit, 2) != 2)
        return false;
    if (c.eat('.')) c.eat_while(is_digit);
    const std::size_t blanks = c.eat_while([](char x) { return x == ' ' || x == '\t'; });
    if (c.done()) return blanks == 0;
    if (c.eat('Z')) return c.done();
    if (!c.eat('-') && !c.eat('+')) return false;
    if (c.eat_while_max(is_digit, 2) == 0) return false;
    if (c.eat(':') && c.eat_while_max(is_digit, 2) != 2) return false;
    return c.done();
}

std::optional<bool> bool_word(std::string_view s) {
    std::string lower(s);
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (is_one_of(lower, {"yes", "true", "on"})) return true;
    if (is_one_of(lower, {"no", "false", "off"})) return false;
    return std::nullopt;
}

// float(text) after PyYAML drops '_' and lowers the case; only the kind of
// the value matters to readers, so this is a close approximation.
double construct_float(std::string_view text) {
    std::string v;
    for (char ch : text)
        if (ch != '_' && ch != ' ' && ch != '\t' && ch != '\n') v.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
    double sign = 1.0;
    std::string_view s = v;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        sign = s[0] == '-' ? -1.0 : 1.0;
        s.remove_prefix(1);
    }
    if (s == ".inf") return sign * HUGE_VAL;
    if (s == ".nan") return std::nan("");
    double value = 0.0;
    std::size_t start = 0;
    while (true) {  // base-60 parts, or one part
        std::size_t colon = s.find(':', start);
        std::string_view part = s.substr(start, colon == std::string_view::npos ? colon : colon - start);
        double d = 0.0;
        std::from_chars(part.data(), part.data() + part.size(), d);
        value = value * 60 + d;
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    return sign * value;
}

YamlValue scalar(YamlValue::Kind kind, std::string_view text) {
    YamlValue v;
    v.kind = kind;
    v.text = std::string(text);
    return v;
}

YamlValue int_or_string(std::string_view text) {
    auto i = construct_yaml_int(text);
    if (!i) return scalar(YamlValue::Kind::String, text);  // Python raises here
    YamlValue v = scalar(YamlValue::Kind::Int, text);
    v.integer = *i;
    return v;
}

YamlValue bool_or_string(std::string_view text) {
    auto b = bool_word(text);
    if (!b) return scalar(YamlValue::Kind::String, text);  // Python raises here
    YamlValue v = scalar(YamlValue::Kind::Bool, text);
    v.boolean = *b;
    return v;
}

YamlValue float_value(std::string_view text) {
    YamlValue v = scalar(YamlValue::Kind::Float, text);
    v.real = construct_float(text);
    return v;
}

YamlValue merge_value(std::string_view text) {
    YamlValue v = scalar(YamlValue::Kind::String, text);
    v.merge_key = true;
    return v;
}

bool first_in(char first, std::string_view set) { return set.find(first) != std::string_view::npos; }

YamlValue resolve_implicit(std::string_view text) {
    if (text.empty()) return scalar(YamlValue::Kind::Null, text);
    const char first = text[0];
    std::string_view body = text;
    if (body.ends_with('\n')) body.remove_suffix(1);
    if (first_in(first, "yYnNtTfFoO") &&
        is_one_of(body, {"yes", "Yes", "YES", "no", "No", "NO", "true", "True", "TRUE", "false", "False", "FALSE",
                         "on", "On", "ON", "off", "Off", "OFF"}))
        return bool_or_string(text);
    if (first_in(first, "-+0123456789.") && matches_float(body)) return float_value(text);
    if (first_in(first, "-+0123456789") && matches_int(body)) return int_or_string(text);
    if (first == '<' && body == "<<") return merge_value(text);
    if (first_in(first, "~nN") && is_one_of(body, {"~", "null", "Null", "NULL"}))
        return scalar(YamlValue::Kind::Null, text);
    if (is_digit(first) && matches_timestamp(body)) return scalar(YamlValue::Kind::Other, text);
    return scalar(YamlValue::Kind::String, text);
}

}  // namespace

YamlValue resolve_scalar(std::string_view tag, std::string_view text, bool plain) {
    if (tag.empty()) return plain ? resolve_implicit(text) : scalar(YamlValue::Kind::String, text);
    if (tag == "!") return resolve_implicit(text);  // the non-specific tag: resolved like a plain scalar
    if (tag.starts_with(kTagPrefix)) {
        std::string_view name = tag.substr(kTagPrefix.size());
        if (name == "str") return scalar(YamlValue::Kind::String, text);
        if (name == "int") return int_or_string(text);
        if (name == "float") return float_value(text);
        if (name == "bool") return bool_or_string(text);
        if (name == "null") return scalar(YamlValue::Kind::Null, text);
        if (name == "merge") return merge_value(text);
        if (name == "binary" || name == "timestamp") return scalar(YamlValue::Kind::Other, text);
    }
    // Any other tag is looked through to the value it tags (safe_load refuses
    // such documents, so this view is the native reader's own).
    return plain ? resolve_implicit(text) : scalar(YamlValue::Kind::String, text);
}

}  // namespace vintrel
