// Loads one YAML document from libyaml's event stream into a YamlValue tree.
// Events keep the explicit tags and scalar styles that resolution needs.
#include <yaml.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/yaml_value.hpp"

namespace vintrel {
namespace {

// Limits that keep hostile documents (deep nesting, alias bombs) from
// exhausting the stack or memory.
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

std::size_t count_values(const YamlValue& v) {
    std::size_t n = 1;
    for (const auto& item : v.items) n += count_values(item);
    for (const auto& [k, val] : v.entries) n += count_values(k) + count_values(val);
    return n;
}

std::string_view as_view(const yaml_char_t* s) { return s ? reinterpret_cast<const char*>(s) : ""; }

// Builds the tree from events; open collections live on an explicit stack.
class Builder {
public:
    std::expected<YamlValue, std::string> run(Parser& parser) {
        bool in_document = false;
        bool have_root = false;
        while (true) {
            Event ev;
            if (!yaml_parser_parse(&parser.raw, &ev.raw))
                return std::unexpected(std::string(parser.raw.problem ? parser.raw.problem : "invalid YAML"));
            ev.held = true;
            switch (ev.raw.type) {
                case YAML_STREAM_END_EVENT: return std::move(root_);
                case YAML_DOCUMENT_START_EVENT:
                    if (have_root) return std::unexpected("expected a single document in the stream");
                    in_document = true;
                    break;
                case YAML_DOCUMENT_END_EVENT:
                    in_document = false;
                    have_root = true;
                    break;
                case YAML_SCALAR_EVENT: {
                    auto& s = ev.raw.data.scalar;
                    std::string_view text(reinterpret_cast<const char*>(s.value), s.length);
                    bool plain = s.style == YAML_PLAIN_SCALAR_STYLE;
                    YamlValue v = s.tag ? resolve_tagged_scalar(as_view(s.tag), text, plain)
                                        : (plain ? resolve_plain_scalar(text) : string_value(text));
                    if (auto r = add(std::move(v), as_view(s.anchor)); !r) return std::unexpected(r.error());
                    break;
                }
                case YAML_SEQUENCE_START_EVENT:
                case YAML_MAPPING_START_EVENT: {
                    if (stack_.size() >= kMaxDepth) return std::unexpected("document nested too deeply");
                    if (++values_ > kMaxValues) return std::unexpected("document too large");
                    Open open;
                    open.value.kind = ev.raw.type == YAML_SEQUENCE_START_EVENT ? YamlValue::Kind::Sequence
                                                                               : YamlValue::Kind::Mapping;
                    const yaml_char_t* anchor = ev.raw.type == YAML_SEQUENCE_START_EVENT
                                                    ? ev.raw.data.sequence_start.anchor
                                                    : ev.raw.data.mapping_start.anchor;
                    open.anchor = std::string(as_view(anchor));
                    stack_.push_back(std::move(open));
                    break;
                }
                case YAML_SEQUENCE_END_EVENT:
                case YAML_MAPPING_END_EVENT: {
                    Open open = std::move(stack_.back());
                    stack_.pop_back();
                    if (open.pending_key) return std::unexpected("mapping key without value");
                    --values_;  // counted again by add()
                    if (auto r = add(std::move(open.value), open.anchor); !r) return std::unexpected(r.error());
                    break;
                }
                case YAML_ALIAS_EVENT: {
                    auto it = anchors_.find(std::string(as_view(ev.raw.data.alias.anchor)));
                    if (it == anchors_.end()) return std::unexpected("found undefined alias");
                    values_ += it->second.second;
                    if (values_ > kMaxValues) return std::unexpected("document too large");
                    if (auto r = place(YamlValue(it->second.first)); !r) return std::unexpected(r.error());
                    break;
                }
                default: break;
            }
            (void)in_document;
        }
    }

private:
    struct Open {
        YamlValue value;
        std::string anchor;
        std::unique_ptr<YamlValue> pending_key;
    };

    static YamlValue string_value(std::string_view text) {
        YamlValue v;
        v.kind = YamlValue::Kind::String;
        v.text = std::string(text);
        return v;
    }

    std::expected<void, std::string> add(YamlValue v, std::string_view anchor) {
        if (++values_ > kMaxValues) return std::unexpected("document too large");
        if (!anchor.empty()) anchors_[std::string(anchor)] = {v, count_values(v)};
        return place(std::move(v));
    }

    std::expected<void, std::string> place(YamlValue v) {
        if (stack_.empty()) {
            root_ = std::move(v);
            return {};
        }
        Open& top = stack_.back();
        if (top.value.kind == YamlValue::Kind::Sequence) {
            top.value.items.push_back(std::move(v));
        } else if (!top.pending_key) {
            top.pending_key = std::make_unique<YamlValue>(std::move(v));
        } else {
            top.value.entries.emplace_back(std::move(*top.pending_key), std::move(v));
            top.pending_key.reset();
        }
        return {};
    }

    std::vector<Open> stack_;
    std::map<std::string, std::pair<YamlValue, std::size_t>> anchors_;
    YamlValue root_;
    std::size_t values_ = 0;
};

}  // namespace

std::expected<YamlValue, std::string> load_yaml(std::string_view text) {
    Parser parser;
    if (!parser.ready) return std::unexpected("could not initialise the YAML parser");
    yaml_parser_set_input_string(&parser.raw, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return Builder().run(parser);
}

}  // namespace vintrel
