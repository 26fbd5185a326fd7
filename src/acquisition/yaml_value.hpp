// A parsed YAML value with scalars resolved the way Python's yaml.safe_load
// (PyYAML's SafeLoader) resolves them, so the native view of metadata.yml
// never disagrees with the Python one. Mappings keep document order.
//
// Nodes are immutable and shared: an alias refers to the node of its anchor
// instead of copying it, so memory stays proportional to the document.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vintrel {

// An integer of any size: its sign, its value modulo 2^64 and whether the
// magnitude fits 64 bits. The low bits are exact even for huge numbers.
struct YamlInt {
    bool negative = false;
    bool fits = true;
    std::uint64_t magnitude = 0;  // exact when fits, else modulo 2^64
};

struct YamlValue;
using YamlNode = std::shared_ptr<const YamlValue>;

struct YamlEntry {
    YamlNode key;
    YamlNode value;
};

struct YamlValue {
    enum class Kind : std::uint8_t {
        Null,
        Bool,
        Int,
        Float,
        String,
        Other,      // a scalar Python reads as another type (a date, bytes)
        Sequence,
        Mapping,
    };

    Kind kind = Kind::Null;
    bool boolean = false;
    bool merge_key = false;  // the YAML merge key `<<` (or a node tagged !!merge)
    // An alias to a collection that encloses it: an empty stand-in here,
    // where the Python view holds that collection itself.
    bool recursive = false;
    YamlInt integer;
    double real = 0.0;
    std::string text;              // String: its content; other scalars: the text as written
    std::vector<YamlNode> items;   // Sequence
    std::vector<YamlEntry> entries;  // Mapping: merged pairs first, then the explicit ones, in order
    std::size_t merged = 0;          // Mapping: entries[0, merged) came through merge keys

    YamlValue() = default;
    YamlValue(const YamlValue&) = default;
    YamlValue(YamlValue&&) = default;
    YamlValue& operator=(const YamlValue&) = default;
    YamlValue& operator=(YamlValue&&) = default;
    // Frees the nodes only this value holds without recursion: aliases let a
    // document chain subtrees far deeper than its own nesting.
    ~YamlValue();

    static YamlValue mapping() {
        YamlValue v;
        v.kind = Kind::Mapping;
        return v;
    }

    bool is_string(std::string_view s) const { return kind == Kind::String && text == s; }
    // The value of the mapping entry whose key is the string `key`, or null.
    // A repeated key gives its last value, as a Python dict built from the entries does.
    const YamlValue* find(std::string_view key) const;
    // A non-negative integer that fits 64 bits.
    std::optional<std::uint64_t> as_u64() const;
    // The low 16 bits of any non-negative integer.
    std::optional<std::uint16_t> as_u16() const;
};

// How the pairs of merge keys (`<<: *base`) combine; PyYAML changed it in 6.0.4.
// Either way the explicit pairs of a mapping win over merged ones.
enum class MergeRule : std::uint8_t {
    // Merged pairs in order of the merge keys, the mappings of a merge
    // sequence taken last to first; a later pair wins (PyYAML up to 6.0.3, so
    // the first mapping of a sequence wins).
    ReverseSequences,
    // Merged pairs in order, a pair left out when its key is the same Python
    // object as the key of a pair taken before; otherwise a later pair wins
    // (PyYAML 6.0.4).
    SkipSameKeyObject,
};

inline constexpr MergeRule kDefaultMergeRule = MergeRule::SkipSameKeyObject;

// Resolves a scalar from its tag (empty when untagged), its text and whether
// it was written plain (unquoted).
YamlValue resolve_scalar(std::string_view tag, std::string_view text, bool plain);
// The integer yaml.safe_load makes of `text` under the tag !!int, or none
// where Python raises.
std::optional<YamlInt> construct_yaml_int(std::string_view text);

// Parses one YAML document. The error is libyaml's description (or ours for
// documents too deep, too large or with a bad merge key).
std::expected<YamlNode, std::string> load_yaml(std::string_view text, MergeRule rule = kDefaultMergeRule);

}  // namespace vintrel
