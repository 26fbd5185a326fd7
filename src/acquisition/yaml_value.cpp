// Members of YamlValue that are not about scalar resolution.
#include <iterator>
#include <vector>

#include "acquisition/yaml_value.hpp"

namespace vintrel {
namespace {

// Moves the children of `v` to `out`.
void take_children(YamlValue& v, std::vector<YamlNode>& out) {
    out.insert(out.end(), std::make_move_iterator(v.items.begin()), std::make_move_iterator(v.items.end()));
    v.items.clear();
    for (YamlEntry& e : v.entries) {
        out.push_back(std::move(e.key));
        out.push_back(std::move(e.value));
    }
    v.entries.clear();
}

}  // namespace

YamlValue::~YamlValue() {
    if (items.empty() && entries.empty()) return;
    std::vector<YamlNode> pending;
    take_children(*this, pending);
    while (!pending.empty()) {
        YamlNode node = std::move(pending.back());
        pending.pop_back();
        // The only owner may empty the node before it goes: no other owner
        // can appear, so no other thread can see it. (The loader creates
        // every node non-const.)
        if (node.use_count() == 1 && (!node->items.empty() || !node->entries.empty()))
            take_children(const_cast<YamlValue&>(*node), pending);
    }
}

const YamlValue* YamlValue::find(std::string_view key) const {
    if (kind != Kind::Mapping) return nullptr;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        if (it->key->is_string(key)) return it->value.get();
    return nullptr;
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
