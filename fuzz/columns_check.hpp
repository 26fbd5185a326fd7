// The columnar path of the parser harnesses: the harness's event is appended
// to EventColumns three times through one EventAppender (so one reused
// record): whole, cut in half, whole again, with or without a small pedestal
// table. The columns must keep the list layout's invariants and hold, for
// each event appended, exactly the record that parsing and correcting the
// same bytes on their own gives; the events left out must be those that fail.
//
// check_sampled: a record asked for the samples of some channels only must
// fail exactly when the full parse fails, with the same error, and hold the
// same window labels everywhere and the same samples and times where asked.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "calibration/corrections.hpp"
#include "columnar/read_columns.hpp"

namespace vintrel::fuzz {

inline void require(bool condition) {
    if (!condition) std::abort();
}

// Offsets that start at 0, never decrease and end at `values`.
inline void check_offsets(std::span<const std::int64_t> offsets, std::size_t lists, std::size_t values) {
    require(offsets.size() == lists + 1 && offsets.front() == 0);
    require(std::is_sorted(offsets.begin(), offsets.end()));
    require(static_cast<std::size_t>(offsets.back()) == values);
}

template <class T>
void check_list(const columnar::ListColumn<T>& column, std::size_t channels) {
    check_offsets(column.offsets.values(), channels, column.values.size());
}

// Channel `first + c` of a list column holds `expected[c]` for every c.
template <class T, class Record>
void check_channels(const columnar::ListColumn<T>& column, std::size_t first, const Record& expected) {
    const auto offsets = column.offsets.values();
    const auto values = column.values.values();
    for (std::size_t c = 0; c < expected.size(); ++c) {
        const auto begin = static_cast<std::size_t>(offsets[first + c]);
        const auto end = static_cast<std::size_t>(offsets[first + c + 1]);
        require(end - begin == expected[c].size() && std::equal(expected[c].begin(), expected[c].end(),
                                                                 values.begin() + static_cast<std::ptrdiff_t>(begin)));
    }
}

// A table of 1.0 for channels 0-7, labels 0-15 and samples 0-15: events
// beyond it fail their correction.
inline calibration::Pedestals small_table() {
    calibration::Pedestals table;
    table.data.assign(8, std::vector<std::vector<float>>(16, std::vector<float>(16, 1.0f)));
    return table;
}

template <class Parser>
void check_columns(std::span<const std::uint8_t> raw, const Params& params, bool with_pedestals) {
    calibration::Corrections corrections(params);
    if (with_pedestals) corrections = std::move(corrections).pedestals(small_table());
    columnar::EventColumns columns(parsing::board_for_model(params.model));
    const std::span<const std::uint8_t> inputs[] = {raw, raw.first(raw.size() / 2), raw};
    {
        columnar::EventAppender<Parser> appender(columns, corrections, 3);
        for (std::uint64_t i = 0; i < 3; ++i) appender.add(i, inputs[i]);
    }
    columns.shrink_to_fit();

    const std::size_t events = columns.events();
    require(events + columns.failures.size() == 3);
    check_offsets(columns.channel_offsets.values(), events, columns.data.lists());
    const std::size_t channels = columns.data.lists();
    check_list(columns.data, channels);
    check_list(columns.time, channels);
    check_list(columns.window_labels, channels);
    if (columns.timing) check_list(*columns.timing, channels);
    if (columns.ecc_errors) {
        const auto& ecc = *columns.ecc_errors;
        check_offsets(ecc.offsets.values(), channels, ecc.offset.size());
        require(ecc.position.size() == ecc.offset.size() && ecc.word.size() == ecc.offset.size() &&
                ecc.corrected.size() == ecc.offset.size() && ecc.bit.size() == ecc.offset.size());
    }

    std::size_t in = 0;
    for (std::uint64_t i = 0; i < 3; ++i) {
        auto expected = Parser::parse(inputs[i], params);
        const bool kept = expected && corrections.apply(*expected).has_value();
        require(kept == (in < events && columns.index.values()[in] == static_cast<std::int64_t>(i)));
        if (!kept) continue;
        const auto first = static_cast<std::size_t>(columns.channel_offsets.values()[in]);
        require(columns.channel_offsets.values()[in + 1] - columns.channel_offsets.values()[in] ==
                static_cast<std::int64_t>(expected->data.size()));
        check_channels(columns.data, first, expected->data);
        check_channels(columns.time, first, expected->time);
        check_channels(columns.window_labels, first, expected->window_labels);
        if constexpr (requires { expected->timing; }) check_channels(*columns.timing, first, expected->timing);
        ++in;
    }
}

// `wanted`: bit c asks for the samples of channel c (of the first 16).
template <class Parser>
void check_sampled(std::span<const std::uint8_t> raw, const Params& params, std::uint16_t wanted) {
    const auto full = Parser::parse(raw, params);
    typename Parser::Event part;
    part.sampled.emplace(16);
    for (std::size_t c = 0; c < 16; ++c) (*part.sampled)[c] = (wanted >> c & 1) != 0;
    const auto parsed = Parser::parse_into(raw, params, part);
    require(parsed.has_value() == full.has_value());
    if (!full) {
        require(parsed.error() == full.error());
        return;
    }
    require(part.window_labels == full->window_labels && part.data.size() == full->data.size() &&
            part.time.size() == full->time.size());
    for (std::size_t c = 0; c < full->data.size(); ++c) {
        if (!part.samples_wanted(c)) continue;
        require(part.data[c] == full->data[c] && part.time[c] == full->time[c]);
    }
    if constexpr (requires { part.timing; }) require(part.timing == full->timing);
}

}  // namespace vintrel::fuzz
