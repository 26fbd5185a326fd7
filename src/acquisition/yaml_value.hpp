// A parsed YAML value with scalars resolved the way YAML 1.1 (and Python's
// yaml.safe_load) resolves them, so the native view of metadata.yml never
// disagrees with the Python one. Mappings keep document order.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vintrel {

// An integer of any size: its sign, its value modulo 2^64 and whether the
// magnitude fits 64 bits. The low bits are exact even for huge numbers.
struct YamlInt {
    bool negative = false;
    bool fits = true;
    std::uint64_t magnitude = 0;  // exact when fits, else modulo 2^64
};

struct YamlValue {
    enum class Kind : std::uint8_t { Null, Bool, Int, Float, String, Sequence, Mapping };

    Kind kind = Kind::Null;
    bool boolean = false;
    YamlInt integer;
    double real = 0.0;
    std::string text;  // String: its content; other scalars: the text as written
    std::vector<YamlValue> items;                             // Sequence
    std::vector<std::pair<YamlValue, YamlValue>> entries;     // Mapping, in order

    YamlValue();

    static YamlValue mapping() {
        YamlValue v;
        v.kind = Kind::Mapping;
        return v;
    }

    bool is_string(std::string_view s) const { return kind == Kind::String && text == s; }
    // The value of a mapping entry whose key is the string `key`, or null.
    const YamlValue* find(std::string_view key) const;
    // A non-negative integer that fits 64 bits.
    std::optional<std::uint64_t> as_u64() const;
    // The low 16 bits of any non-negative integer.
    std::optional<std::uint16_t> as_u16() const;
};

// Defaulted out of the class: clang would otherwise instantiate
// std::pair<YamlValue, YamlValue> while YamlValue is still incomplete.
inline YamlValue::YamlValue() = default;

// Resolves a plain (unquoted, untagged) scalar: null, bool, int, float or string.
YamlValue resolve_plain_scalar(std::string_view text);
// Resolves a scalar under an explicit standard tag ("tag:yaml.org,2002:int" ...).
// Unknown tags resolve like an untagged plain scalar.
YamlValue resolve_tagged_scalar(std::string_view tag, std::string_view text, bool plain);
// Parses the text PyYAML reads as an int (signs, '_', 0b, 0x, leading-0 octal, base 60).
std::optional<YamlInt> parse_yaml_int(std::string_view text);

// Parses one YAML document. The error is libyaml's description (or ours for
// documents too deep or too large).
std::expected<YamlValue, std::string> load_yaml(std::string_view text);

}  // namespace vintrel
