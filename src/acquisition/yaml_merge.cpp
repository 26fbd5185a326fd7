#include "acquisition/yaml_merge.hpp"

#include <algorithm>
#include <array>
#include <unordered_set>

namespace vintrel {
namespace {

// The keys taken so far, by Python object identity: PyYAML 6.0.4 compares
// the id() of each key node's text. One node's text is one object; CPython
// also keeps a single object for the empty string and for each
// one-character string up to U+00FF, so such texts are one object wherever
// they occur.
class KeyObjects {
public:
    // Records the key; false when the same object was recorded before.
    bool insert(const YamlValue& key) {
        int shared = shared_text_index(key);
        if (shared < 0) return nodes_.insert(&key).second;
        bool fresh = !texts_[static_cast<std::size_t>(shared)];
        texts_[static_cast<std::size_t>(shared)] = true;
        return fresh;
    }

private:
    // 0-255 for a one-character text up to U+00FF, 256 for the empty text,
    // -1 for any other key.
    static int shared_text_index(const YamlValue& key) {
        if (key.kind == YamlValue::Kind::Sequence || key.kind == YamlValue::Kind::Mapping) return -1;
        const std::string& t = key.text;
        if (t.empty()) return 256;
        auto byte = [&](std::size_t i) { return static_cast<unsigned char>(t[i]); };
        if (t.size() == 1 && byte(0) < 0x80) return byte(0);
        if (t.size() == 2 && (byte(0) == 0xC2 || byte(0) == 0xC3)) return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
        return -1;
    }

    std::unordered_set<const YamlValue*> nodes_;
    std::array<bool, 257> texts_{};
};

}  // namespace

std::expected<std::vector<YamlEntry>, std::string> merged_entries(const std::vector<YamlNode>& sources,
                                                                  MergeRule rule, std::size_t budget) {
    std::vector<YamlEntry> merged;
    KeyObjects seen;
    for (const YamlNode& source : sources) {
        std::vector<const YamlValue*> mappings;
        if (source->kind == YamlValue::Kind::Mapping) {
            mappings.push_back(source.get());
        } else if (source->kind == YamlValue::Kind::Sequence) {
            for (const YamlNode& item : source->items) {
                if (item->kind != YamlValue::Kind::Mapping) return std::unexpected("expected a mapping for merging");
                mappings.push_back(item.get());
            }
            if (rule == MergeRule::ReverseSequences) std::reverse(mappings.begin(), mappings.end());
        } else {
            return std::unexpected("expected a mapping or list of mappings for merging");
        }
        for (const YamlValue* mapping : mappings) {
            for (const YamlEntry& entry : mapping->entries) {
                if (rule == MergeRule::SkipSameKeyObject && !seen.insert(*entry.key)) continue;
                if (merged.size() >= budget) return std::unexpected("document too large");
                merged.push_back(entry);
            }
        }
    }
    return merged;
}

}  // namespace vintrel
