// Fuzzes the metadata.yml reader: any text gives Metadata or a MetadataError
// under either merge rule, and every node of the result can be visited. The
// text is also resolved as a single scalar under each tag the reader knows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "acquisition/metadata.hpp"

namespace {

// Visits each node once (aliases share nodes, so a walk of the tree as a
// tree could take exponential time) and checks the integer views agree.
void visit_all(const vintrel::YamlValue& root) {
    std::unordered_set<const vintrel::YamlValue*> seen;
    std::vector<const vintrel::YamlValue*> todo{&root};
    while (!todo.empty()) {
        const vintrel::YamlValue* v = todo.back();
        todo.pop_back();
        if (!seen.insert(v).second) continue;
        if (auto n = v->as_u64(); n && v->as_u16() != static_cast<std::uint16_t>(*n)) std::abort();
        for (const auto& item : v->items) todo.push_back(item.get());
        for (const auto& entry : v->entries) {
            todo.push_back(entry.key.get());
            todo.push_back(entry.value.get());
        }
        if (v->merged > v->entries.size()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (auto rule : {vintrel::MergeRule::ReverseSequences, vintrel::MergeRule::SkipSameKeyObject}) {
        auto metadata = vintrel::parse_metadata(text, rule);
        if (!metadata) continue;
        static_cast<void>(metadata->params.find("n_event_headers"));
        visit_all(metadata->params.extra);
        visit_all(metadata->registers);
    }
    for (std::string_view tag : {"", "!", "tag:yaml.org,2002:int", "tag:yaml.org,2002:float",
                                 "tag:yaml.org,2002:bool", "tag:yaml.org,2002:str", "!other"}) {
        auto v = vintrel::resolve_scalar(tag, text, true);
        if (v.kind == vintrel::YamlValue::Kind::Int && v.integer.negative && v.integer.magnitude == 0 &&
            v.integer.fits)
            std::abort();  // -0 is 0
    }
    return 0;
}
