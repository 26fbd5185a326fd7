// Reading events straight into columns: one pass over the requested events,
// each read, parsed into one reused record, corrected and appended.
#pragma once

#include <cstdint>
#include <span>

#include "acquisition/acquisition.hpp"
#include "calibration/corrections.hpp"
#include "columnar/event_columns.hpp"
#include "parsing/boards.hpp"

namespace vintrel::columnar {

// Parses raw events with `Parser` into one record that it keeps (its vectors
// keep their room from one event to the next, so parsing stops allocating),
// applies the corrections and appends the record to `columns`; an event that
// fails is listed as a failure instead. Columns and Corrections are borrowed.
// With the first record it reserves room for all events like it.
template <class Parser>
class EventAppender {
public:
    // `expected_events`: how many events will be added, at most (a hint).
    EventAppender(EventColumns& columns, const calibration::Corrections& corrections, std::size_t expected_events)
        : columns_(columns), corrections_(corrections), expected_events_(expected_events) {}

    void add(std::uint64_t index, parsing::Bytes raw) {
        if (auto parsed = Parser::parse_into(raw, corrections_.params, record_); !parsed)
            return columns_.failures.push_back(EventFailure::unparsable(index, parsed.error()));
        if (!corrections_.apply(record_)) return columns_.failures.push_back(EventFailure::uncorrectable(index));
        if (columns_.events() == 0) reserve_like(columns_, record_, expected_events_);
        if (auto appended = append_record(columns_, index, record_); !appended)
            columns_.failures.push_back(EventFailure::unparsable(index, appended.error()));
    }

private:
    EventColumns& columns_;
    const calibration::Corrections& corrections_;
    std::size_t expected_events_;
    typename Parser::Event record_;
};

// The events `indices` of `acquisition`, in that order (duplicates read
// again), parsed by the board of the Corrections' Params `model` and
// corrected. Events that cannot be read, parsed or corrected are left out
// and listed in `failures` with their error; an index beyond 2^63 - 1 (no
// acquisition holds that many events) is out of bounds without being read.
// Reads go through one EventReader, so indices in order open each chunk once.
EventColumns read_event_columns(const Acquisition& acquisition, std::span<const std::uint64_t> indices,
                                const calibration::Corrections& corrections);

}  // namespace vintrel::columnar
