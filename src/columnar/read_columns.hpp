// Reading events straight into columns: one pass over the requested events,
// each read, parsed into one reused record, corrected and appended.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>

#include "acquisition/acquisition.hpp"
#include "calibration/corrections.hpp"
#include "columnar/event_columns.hpp"
#include "columnar/prefault.hpp"
#include "parsing/boards.hpp"

namespace vintrel::columnar {

// Parses raw events with `Parser` into one record that it keeps (its vectors
// keep their room from one event to the next, so parsing stops allocating),
// applies the corrections and appends the record to `columns`; an event that
// fails is listed as a failure instead. Columns and Corrections are borrowed.
//
// With the first record it reserves room for all events like it; when that
// room is large, a Prefaulter backs the sample and time columns ahead of the
// writes, until a record would not fit the room (the columns must then move).
template <class Parser>
class EventAppender {
public:
    // Reserved sample and time columns from this size on are backed ahead.
    static constexpr std::size_t kPrefaultFrom = std::size_t{32} << 20;

    // `expected_events`: how many events will be added, at most (a hint).
    EventAppender(EventColumns& columns, const calibration::Corrections& corrections, std::size_t expected_events)
        : columns_(columns), corrections_(corrections), expected_events_(expected_events) {}

    void add(std::uint64_t index, parsing::Bytes raw) {
        if (auto parsed = Parser::parse_into(raw, corrections_.params, record_); !parsed)
            return columns_.failures.push_back(EventFailure::unparsable(index, parsed.error()));
        if (!corrections_.apply(record_)) return columns_.failures.push_back(EventFailure::uncorrectable(index));
        if (columns_.events() == 0) start(record_);
        if (prefaulter_ && !fits(record_)) prefaulter_.reset();
        if (auto appended = append_record(columns_, index, record_); !appended)
            columns_.failures.push_back(EventFailure::unparsable(index, appended.error()));
        data_written_.store(columns_.data.values.bytes().size(), std::memory_order_relaxed);
        time_written_.store(columns_.time.values.bytes().size(), std::memory_order_relaxed);
    }

private:
    void start(const typename Parser::Event& first) {
        reserve_like(columns_, first, expected_events_);
        MappedBuffer& data = columns_.data.values.bytes();
        MappedBuffer& time = columns_.time.values.bytes();
        if (data.capacity() + time.capacity() < kPrefaultFrom) return;
        prefaulter_.emplace(std::vector<Prefaulter::Range>{{data.data(), data.capacity(), &data_written_},
                                                           {time.data(), time.capacity(), &time_written_}});
    }

    // Whether the record's samples and times fit the room left (so that
    // appending it moves neither column).
    bool fits(const typename Parser::Event& record) const {
        const auto total = [](const auto& per_channel) {
            std::size_t n = 0;
            for (const auto& channel : per_channel) n += channel.size();
            return n;
        };
        return total(record.data) <= columns_.data.values.room() && total(record.time) <= columns_.time.values.room();
    }

    EventColumns& columns_;
    const calibration::Corrections& corrections_;
    std::size_t expected_events_;
    typename Parser::Event record_;
    std::atomic<std::size_t> data_written_{0};
    std::atomic<std::size_t> time_written_{0};
    std::optional<Prefaulter> prefaulter_;  // declared last: stopped first
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
