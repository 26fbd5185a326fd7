// Loads one YAML document from libyaml's event stream into shared YamlValue
// nodes. Events keep the explicit tags and scalar styles that resolution
// needs. An anchor names its node as soon as the node starts (as PyYAML's
// composer does): an alias to a finished node shares it, an alias to a
// collection still open (one that encloses the alias) becomes an empty
// stand-in. Merge keys are applied when their mapping ends.
#include <yaml.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/yaml_merge.hpp"
#include "acquisition/yaml_value.hpp"

namespace vintrel {
namespace {

// Limits that keep hostile documents from exhausting the stack or memory.
// Aliases share nodes, so every value counted here is one the document
// spells out (a node, an alias or a pair copied by a merge key).
constexpr std::size_t kMaxDepth = 512;
constexpr std::size_t kMaxValues = 1'000'000;

struct Parser {
    yaml_parser_t raw{};
    bool ready = false;
    Parser() { ready = yaml_parser_initialize(&raw) != 0; }
    ~Parser() {
        if (ready) yaml_parser_delete(&raw);
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;
};

struct Event {
    yaml_event_t raw{};
    bool held = false;
    ~Event() {
        if (held) yaml_event_delete(&raw);
    }
};

std::string_view as_view(const yaml_char_t* s) { return s ? reinterpret_cast<const char*>(s) : ""; }

using ScalarData = decltype(std::declval<yaml_event_t>().data.scalar);

bool is_merge_tag(const yaml_char_t* tag) { return as_view(tag) == "tag:yaml.org,2002:merge"; }

// Builds the nodes from events; open collections live on an explicit stack.
class Builder {
public:
    explicit Builder(MergeRule rule) : rule_(rule) {}

    std::expected<YamlNode, std::string> run(Parser& parser) {
        bool have_root = false;
        while (true) {
            Event ev;
            if (!yaml_parser_parse(&parser.raw, &ev.raw))
                return std::unexpected(std::string(parser.raw.problem ? parser.raw.problem : "invalid YAML"));
            ev.held = true;
            std::expected<void, std::string> step;
            switch (ev.raw.type) {
                case YAML_STREAM_END_EVENT:
                    if (!root_) return std::make_shared<YamlValue>();  // an empty stream is null
                    return std::move(root_);
                case YAML_DOCUMENT_START_EVENT:
                    if (have_root) return std::unexpected("expected a single document in the stream");
                    break;
                case YAML_DOCUMENT_END_EVENT: have_root = true; break;
                case YAML_SCALAR_EVENT: step = scalar(ev.raw.data.scalar); break;
                case YAML_SEQUENCE_START_EVENT:
                    step = open(YamlValue::Kind::Sequence, ev.raw.data.sequence_start.anchor,
                                ev.raw.data.sequence_start.tag);
                    break;
                case YAML_MAPPING_START_EVENT:
                    step = open(YamlValue::Kind::Mapping, ev.raw.data.mapping_start.anchor,
                                ev.raw.data.mapping_start.tag);
                    break;
                case YAML_SEQUENCE_END_EVENT:
                case YAML_MAPPING_END_EVENT: step = close(); break;
                case YAML_ALIAS_EVENT: step = alias(as_view(ev.raw.data.alias.anchor)); break;
                default: break;
            }
            if (!step) return std::unexpected(std::move(step.error()));
        }
    }

private:
    struct Open {
        std::shared_ptr<YamlValue> value;
        std::string anchor;
        YamlNode pending_key;
        std::vector<YamlNode> merges;  // values of this mapping's merge keys, in order
    };
    // A named node; null while the collection it names is still open.
    struct Anchor {
        YamlNode node;
        YamlValue::Kind kind = YamlValue::Kind::Null;
    };

    std::expected<void, std::string> count(std::size_t n = 1) {
        values_ += n;
        if (values_ > kMaxValues) return std::unexpected("document too large");
        return {};
    }

    std::expected<void, std::string> scalar(const ScalarData& s) {
        if (auto ok = count(); !ok) return ok;
        std::string_view text(reinterpret_cast<const char*>(s.value), s.length);
        auto node = std::make_shared<YamlValue>(
            resolve_scalar(as_view(s.tag), text, s.style == YAML_PLAIN_SCALAR_STYLE));
        if (s.anchor) anchors_[std::string(as_view(s.anchor))] = {node, node->kind};
        return place(std::move(node));
    }

    std::expected<void, std::string> open(YamlValue::Kind kind, const yaml_char_t* anchor, const yaml_char_t* tag) {
        if (stack_.size() >= kMaxDepth) return std::unexpected("document nested too deeply");
        if (auto ok = count(); !ok) return ok;
        Open open;
        open.value = std::make_shared<YamlValue>();
        open.value->kind = kind;
        open.value->merge_key = is_merge_tag(tag);
        open.anchor = std::string(as_view(anchor));
        if (!open.anchor.empty()) anchors_[open.anchor] = {nullptr, kind};
        stack_.push_back(std::move(open));
        return {};
    }

    std::expected<void, std::string> close() {
        Open open = std::move(stack_.back());
        stack_.pop_back();
        if (open.pending_key) return std::unexpected("mapping key without value");
        if (!open.merges.empty()) {
            auto merged = merged_entries(open.merges, rule_, kMaxValues - values_);
            if (!merged) return std::unexpected(std::move(merged.error()));
            if (auto ok = count(merged->size()); !ok) return ok;
            YamlValue& mapping = *open.value;
            mapping.merged = merged->size();
            merged->insert(merged->end(), mapping.entries.begin(), mapping.entries.end());
            mapping.entries = std::move(*merged);
        }
        YamlNode node = std::move(open.value);
        if (!open.anchor.empty()) anchors_[open.anchor] = {node, node->kind};
        return place(std::move(node));
    }

    std::expected<void, std::string> alias(std::string_view name) {
        if (auto ok = count(); !ok) return ok;
        auto it = anchors_.find(std::string(name));
        if (it == anchors_.end()) return std::unexpected("found undefined alias");
        if (it->second.node) return place(it->second.node);
        auto stand_in = std::make_shared<YamlValue>();
        stand_in->kind = it->second.kind;
        stand_in->recursive = true;
        return place(std::move(stand_in));
    }

    std::expected<void, std::string> place(YamlNode node) {
        if (stack_.empty()) {
            root_ = std::move(node);
            return {};
        }
        Open& top = stack_.back();
        YamlValue& collection = *top.value;
        if (collection.kind == YamlValue::Kind::Sequence) {
            collection.items.push_back(std::move(node));
        } else if (!top.pending_key) {
            top.pending_key = std::move(node);
        } else if (top.pending_key->merge_key) {
            top.merges.push_back(std::move(node));
            top.pending_key.reset();
        } else {
            collection.entries.push_back({std::move(top.pending_key), std::move(node)});
        }
        return {};
    }

    MergeRule rule_;
    std::vector<Open> stack_;
    std::map<std::string, Anchor, std::less<>> anchors_;
    YamlNode root_;
    std::size_t values_ = 0;
};

}  // namespace

std::expected<YamlNode, std::string> load_yaml(std::string_view text, MergeRule rule) {
    Parser parser;
    if (!parser.ready) return std::unexpected("could not initialise the YAML parser");
    yaml_parser_set_input_string(&parser.raw, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return Builder(rule).run(parser);
}

}  // namespace vintrel
