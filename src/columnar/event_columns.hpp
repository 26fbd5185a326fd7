// Parsed events laid out as columns: per event a list of channels; per
// channel the lists of its samples, time positions and window labels and,
// for the boards whose record has them, its timing values and ECC error
// records. Every list is a ListColumn (values end to end plus int64 offsets),
// so the whole batch is a few flat buffers, whatever the number of events.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "columnar/columns.hpp"
#include "error/errors.hpp"
#include "parsing/boards.hpp"
#include "parsing/util.hpp"

namespace vintrel::columnar {

// An event left out, and why: it could not be read (the reader's error), it
// could not be parsed (the parser's error), its correction failed, or it
// lacks a channel that was asked for.
struct EventFailure {
    enum class Stage : std::uint8_t { Read, Parse, Correct, Channel };

    std::uint64_t index = 0;
    Stage stage = Stage::Read;
    AcquisitionError read_error{};                     // Stage::Read
    ParsingError parse_error = ParsingError::Unknown;  // Stage::Parse
    std::size_t channel = 0;                           // Stage::Channel: the channel asked for,
    std::size_t channel_count = 0;                     // and the channels the event has

    static EventFailure unreadable(std::uint64_t index, AcquisitionError error) {
        return {index, Stage::Read, std::move(error)};
    }
    static EventFailure unparsable(std::uint64_t index, ParsingError error) {
        return {index, Stage::Parse, {}, error};
    }
    static EventFailure uncorrectable(std::uint64_t index) { return {index, Stage::Correct}; }
    static EventFailure missing_channel(std::uint64_t index, std::size_t channel, std::size_t count) {
        return {index, Stage::Channel, {}, ParsingError::Unknown, channel, count};
    }
};

// The channels of each event to keep, in the order to store them: every
// channel, or a list of distinct channel numbers (positions in the record's
// per-channel lists).
class ChannelSelection {
public:
    ChannelSelection() = default;  // every channel
    explicit ChannelSelection(std::vector<std::size_t> chosen) : chosen_(std::move(chosen)) {}

    bool every() const { return !chosen_; }
    // How many lists a record of `channels` channels contributes.
    std::size_t kept(std::size_t channels) const { return chosen_ ? chosen_->size() : channels; }
    // The first chosen channel a record of `channels` channels lacks.
    std::optional<std::size_t> missing(std::size_t channels) const {
        if (chosen_)
            for (const std::size_t c : *chosen_)
                if (c >= channels) return c;
        return std::nullopt;
    }
    // Per channel number up to the highest chosen: whether it is chosen
    // (every() must be false).
    std::vector<bool> as_mask() const {
        std::vector<bool> mask;
        for (const std::size_t c : *chosen_) {
            if (c >= parsing::kMaxChannels) continue;  // no record has it: the event fails
            if (c >= mask.size()) mask.resize(c + 1);
            mask[c] = true;
        }
        return mask;
    }
    // Calls f(c) for each kept channel of a record of `channels` channels
    // (all present: see missing()), in storage order.
    template <class F>
    void for_each(std::size_t channels, F&& f) const {
        if (!chosen_) {
            for (std::size_t c = 0; c < channels; ++c) f(c);
            return;
        }
        for (const std::size_t c : *chosen_) f(c);
    }

private:
    std::optional<std::vector<std::size_t>> chosen_;
};

// The ECC error records of ostra96 channels, one column per field. Offsets
// and positions are int64 (the record's sizes, which the event dictionaries
// give as signed integers too); the 16-bit fields stay uint16.
struct EccErrorColumns {
    Column<std::int64_t> offset;
    Column<std::int64_t> position;
    Column<std::uint16_t> word;
    Column<std::uint16_t> corrected;
    Column<std::uint16_t> bit;
    Column<std::int64_t> offsets;  // per channel: its records in the five columns

    EccErrorColumns() { offsets.push_back(0); }
    void append(std::span<const parsing::EccErrorRecord> records);
    void shrink_to_fit();
};

struct EventColumns {
    Column<std::int64_t> index;            // acquisition index of each event, in the order asked
    Column<std::int64_t> channel_offsets;  // per event: its channels in the lists below
    ListColumn<float> data;
    ListColumn<std::uint16_t> time;
    ListColumn<std::uint16_t> window_labels;
    std::optional<ListColumn<std::uint32_t>> timing;  // boards whose record times its packets
    std::optional<EccErrorColumns> ecc_errors;        // ostra96
    std::vector<EventFailure> failures;               // events left out, in the order asked

    // The columns of `board`'s record type; without a board, those that
    // every record has.
    explicit EventColumns(std::optional<parsing::Board> board);

    std::size_t events() const { return index.size(); }
    void shrink_to_fit();
};

// Makes room for `events` events the size of `event` (a hint: only address
// space is taken). Called with the first record, before it is appended, the
// columns take their final place at once, and large ones get huge pages
// from their first byte, instead of growing step by step. Columns that will
// be appended to others holding `preceding` events are placed so that, if
// those events were all like this one, they join without a copy.
template <class Event>
void reserve_like(EventColumns& columns, const Event& event, std::size_t events, const ChannelSelection& selection,
                  std::size_t preceding = 0) {
    const auto per_event = [&](const auto& per_channel) {
        std::size_t values = 0;
        selection.for_each(per_channel.size(), [&](std::size_t c) {
            if (c < per_channel.size()) values += per_channel[c].size();  // a missing one fails the event later
        });
        return values;
    };
    const std::size_t channels = mul_or_zero(selection.kept(event.data.size()), events);
    const auto reserve = [&](auto& column, const auto& per_channel) {
        const std::size_t values = per_event(per_channel);
        column.reserve(channels, mul_or_zero(values, events), mul_or_zero(values, preceding));
    };
    columns.index.reserve_after(preceding, events);
    columns.channel_offsets.reserve(events + 1);
    reserve(columns.data, event.data);
    reserve(columns.time, event.time);
    reserve(columns.window_labels, event.window_labels);
    if constexpr (requires { event.timing; })
        if (columns.timing) reserve(*columns.timing, event.timing);
}

// Appends the selected channels of one record as the next event, or lists
// the event as a failure: an event without a channel asked for, and a record
// that broke the rule that every per-channel field has one entry per channel
// (the parsers keep it; such a record is refused with ParsingError::Unknown
// rather than read past its end).
template <class Event>
void append_record(EventColumns& columns, std::uint64_t index, const Event& event, const ChannelSelection& selection) {
    const std::size_t channels = event.data.size();
    bool same = event.window_labels.size() == channels && event.time.size() == channels;
    if constexpr (requires { event.timing; }) same = same && event.timing.size() == channels && columns.timing;
    if constexpr (requires { event.ecc_errors; }) same = same && event.ecc_errors.size() == channels && columns.ecc_errors;
    if (!same) return columns.failures.push_back(EventFailure::unparsable(index, ParsingError::Unknown));
    if (const auto missing = selection.missing(channels))
        return columns.failures.push_back(EventFailure::missing_channel(index, *missing, channels));

    selection.for_each(channels, [&](std::size_t c) {
        columns.data.append(event.data[c]);
        columns.time.append(event.time[c]);
        columns.window_labels.append(event.window_labels[c]);
        if constexpr (requires { event.timing; }) columns.timing->append(event.timing[c]);
        if constexpr (requires { event.ecc_errors; }) columns.ecc_errors->append(event.ecc_errors[c]);
    });
    columns.channel_offsets.push_back(static_cast<std::int64_t>(columns.data.lists()));
    columns.index.push_back(static_cast<std::int64_t>(index));
}

}  // namespace vintrel::columnar
