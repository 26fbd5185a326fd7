// Common body of the parser harnesses. The input starts with the board's
// parameters (channels, windows, samples, then a 16-bit mask saying which
// free keys are present and, for each present key, its value; its bit 15
// adds a pedestal table to the columnar check); the rest of the input is the
// raw event. A parser must return a record or an error for every such input:
// no crash, no read out of bounds, no endless allocation. The same event then
// goes through the columnar path (columns_check.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "acquisition/metadata.hpp"
#include "columns_check.hpp"
#include "fuzz_input.hpp"
#include "parsing/boards.hpp"

namespace vintrel::fuzz {

struct FreeKey {
    std::string_view name;
    bool text = false;  // a string-valued key (the rest are integers)
};

inline YamlValue string_value(std::string_view s) {
    YamlValue v;
    v.kind = YamlValue::Kind::String;
    v.text = std::string(s);
    return v;
}

inline YamlValue int_value(std::uint64_t n) {
    YamlValue v;
    v.kind = YamlValue::Kind::Int;
    v.integer.magnitude = n;
    v.text = std::to_string(n);
    return v;
}

inline Params read_params(Input& in, std::string_view model, std::initializer_list<FreeKey> keys,
                          std::uint16_t* mask = nullptr) {
    Params params;
    params.model = std::string(model);
    params.channels = in.number();
    params.windows = in.number();
    params.samples = in.number();
    const auto present = static_cast<std::uint16_t>(in.little_endian(2));
    if (mask != nullptr) *mask = present;
    unsigned bit = 0;
    for (const FreeKey& key : keys) {
        if (present & (1u << bit++)) {
            YamlValue value = key.text ? string_value(in.text()) : int_value(in.number());
            params.extra.entries.push_back({std::make_shared<YamlValue>(string_value(key.name)),
                                            std::make_shared<YamlValue>(std::move(value))});
        }
    }
    return params;
}

template <class Parser>
int run_parser(const std::uint8_t* data, std::size_t size, std::string_view model,
               std::initializer_list<FreeKey> keys) {
    Input in(data, size);
    std::uint16_t mask = 0;
    const Params params = read_params(in, model, keys, &mask);
    auto result = Parser::parse(in.rest(), params);
    // Every record keeps its three per-channel fields the same length.
    if (result && (result->data.size() != result->window_labels.size() ||
                   result->data.size() != result->time.size()))
        std::abort();
    check_columns<Parser>(in.rest(), params, (mask & 0x8000) != 0);
    check_sampled<Parser>(in.rest(), params, static_cast<std::uint16_t>(mask ^ 0x5A5A));
    return 0;
}

}  // namespace vintrel::fuzz
