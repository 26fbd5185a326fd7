#include "acquisition/metadata.hpp"

#include <array>
#include <span>
#include <utility>

namespace vintrel {
namespace {

std::unexpected<MetadataError> serialization(std::string detail) {
    return std::unexpected(MetadataError{MetadataErrorKind::Serialization, std::move(detail)});
}

// The values of `names` in a mapping read as the Python view reads it: a
// key's last pair gives its value, so an explicit pair overrides one that a
// merge key supplied. A name given twice among the mapping's own pairs is an
// error; the other pairs go to `rest` when asked for.
template <std::size_t N>
std::expected<std::array<const YamlValue*, N>, MetadataError> named_values(const YamlValue& mapping,
                                                                           const std::array<std::string_view, N>& names,
                                                                           const std::string& where,
                                                                           YamlValue* rest = nullptr) {
    std::array<const YamlValue*, N> values{};
    std::array<bool, N> explicit_seen{};
    for (std::size_t i = 0; i < mapping.entries.size(); ++i) {
        const YamlEntry& entry = mapping.entries[i];
        std::size_t named = N;
        for (std::size_t k = 0; k < N; ++k)
            if (entry.key->is_string(names[k])) named = k;
        if (named == N) {
            if (rest) rest->entries.push_back(entry);
            continue;
        }
        if (i >= mapping.merged) {
            if (explicit_seen[named]) return serialization("duplicate field `" + where + std::string(names[named]) + "`");
            explicit_seen[named] = true;
        }
        values[named] = entry.value.get();
    }
    for (std::size_t k = 0; k < N; ++k)
        if (!values[k]) return serialization("missing field `" + where + std::string(names[k]) + "`");
    return values;
}

std::expected<Params, MetadataError> parse_params(const YamlValue& mapping) {
    constexpr std::array<std::string_view, 4> kNamed{"model", "channels", "windows", "samples"};
    Params params;
    auto values = named_values(mapping, kNamed, "params.", &params.extra);
    if (!values) return std::unexpected(values.error());
    const auto& [model, channels, windows, samples] = *values;
    if (model->kind != YamlValue::Kind::String) return serialization("params.model: expected a string");
    params.model = model->text;
    std::array<std::uint64_t*, 3> counts{&params.channels, &params.windows, &params.samples};
    std::array<const YamlValue*, 3> given{channels, windows, samples};
    for (std::size_t k = 0; k < counts.size(); ++k) {
        auto n = given[k]->as_u64();
        if (!n) return serialization("params." + std::string(kNamed[k + 1]) + ": expected a u64");
        *counts[k] = *n;
    }
    return params;
}

}  // namespace

std::expected<Metadata, MetadataError> parse_metadata(std::string_view text, MergeRule rule) {
    auto doc = load_yaml(text, rule);
    if (!doc) return serialization(doc.error());
    if ((*doc)->kind != YamlValue::Kind::Mapping) return serialization("expected a mapping at the top level");
    constexpr std::array<std::string_view, 2> kTop{"params", "registers"};
    auto values = named_values(**doc, kTop, "");
    if (!values) return std::unexpected(values.error());
    const auto& [params_value, registers] = *values;
    if (params_value->kind != YamlValue::Kind::Mapping) return serialization("params: expected a mapping");
    if (registers->kind != YamlValue::Kind::Mapping) return serialization("registers: expected a mapping");
    auto params = parse_params(*params_value);
    if (!params) return std::unexpected(params.error());
    return Metadata{std::move(*params), *registers};
}

}  // namespace vintrel
