#include "acquisition/metadata.hpp"

#include <array>
#include <utility>

namespace vintrel {
namespace {

std::unexpected<MetadataError> serialization(std::string detail) {
    return std::unexpected(MetadataError{MetadataErrorKind::Serialization, std::move(detail)});
}

std::expected<Params, MetadataError> parse_params(YamlValue mapping) {
    Params params;
    std::array<bool, 4> seen{};
    constexpr std::array<std::string_view, 4> kNamed{"model", "channels", "windows", "samples"};
    std::array<std::uint64_t*, 4> counts{nullptr, &params.channels, &params.windows, &params.samples};
    for (auto& [key, value] : mapping.entries) {
        std::size_t named = kNamed.size();
        for (std::size_t i = 0; i < kNamed.size(); ++i)
            if (key.is_string(kNamed[i])) named = i;
        if (named == kNamed.size()) {
            params.extra.entries.emplace_back(std::move(key), std::move(value));
            continue;
        }
        if (seen[named]) return serialization("duplicate field `" + std::string(kNamed[named]) + "`");
        seen[named] = true;
        if (named == 0) {
            if (value.kind != YamlValue::Kind::String) return serialization("params.model: expected a string");
            params.model = std::move(value.text);
        } else {
            auto n = value.as_u64();
            if (!n) return serialization("params." + std::string(kNamed[named]) + ": expected a u64");
            *counts[named] = *n;
        }
    }
    for (std::size_t i = 0; i < kNamed.size(); ++i)
        if (!seen[i]) return serialization("params: missing field `" + std::string(kNamed[i]) + "`");
    return params;
}

}  // namespace

std::expected<Metadata, MetadataError> parse_metadata(std::string_view text) {
    auto doc = load_yaml(text);
    if (!doc) return serialization(doc.error());
    if (doc->kind != YamlValue::Kind::Mapping) return serialization("expected a mapping at the top level");
    Metadata metadata;
    bool have_params = false;
    bool have_registers = false;
    for (auto& [key, value] : doc->entries) {
        if (key.is_string("params")) {
            if (have_params) return serialization("duplicate field `params`");
            if (value.kind != YamlValue::Kind::Mapping) return serialization("params: expected a mapping");
            auto params = parse_params(std::move(value));
            if (!params) return std::unexpected(params.error());
            metadata.params = std::move(*params);
            have_params = true;
        } else if (key.is_string("registers")) {
            if (have_registers) return serialization("duplicate field `registers`");
            if (value.kind != YamlValue::Kind::Mapping) return serialization("registers: expected a mapping");
            metadata.registers = std::move(value);
            have_registers = true;
        }
    }
    if (!have_params) return serialization("missing field `params`");
    if (!have_registers) return serialization("missing field `registers`");
    return metadata;
}

}  // namespace vintrel
