// Reading events straight into columns: one pass over the requested events,
// each read, parsed into one reused record, corrected and appended. A large
// request is read as consecutive runs on the worker pool, joined in order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "acquisition/acquisition.hpp"
#include "calibration/corrections.hpp"
#include "columnar/event_columns.hpp"
#include "parsing/boards.hpp"

namespace vintrel::columnar {

// Parses raw events with `Parser` into one record that it keeps (its vectors
// keep their room from one event to the next, so parsing stops allocating),
// applies the corrections and appends the selected channels of the record to
// `columns`; an event that fails is listed as a failure instead. Columns,
// Corrections and the selection are borrowed. With the first record it
// reserves room for all events like it.
template <class Parser>
class EventAppender {
public:
    // `expected_events`: how many events will be added, at most (a hint);
    // `preceding_events`: how many events will precede them when the
    // columns are joined to others (see reserve_like).
    EventAppender(EventColumns& columns, const calibration::Corrections& corrections, std::size_t expected_events,
                  const ChannelSelection& selection = kEveryChannel, std::size_t preceding_events = 0)
        : columns_(columns),
          corrections_(corrections),
          selection_(selection),
          expected_events_(expected_events),
          preceding_events_(preceding_events) {
        // Without pedestals, the samples of channels not kept need not be
        // converted. With them they are: a correction failing on any channel
        // fails the event, whichever channels are kept.
        if (!selection.every() && !corrections.pedestals_table) record_.sampled = selection.as_mask();
    }

    void add(std::uint64_t index, parsing::Bytes raw) {
        if (auto parsed = Parser::parse_into(raw, corrections_.params, record_); !parsed)
            return columns_.failures.push_back(EventFailure::unparsable(index, parsed.error()));
        if (!corrections_.apply(record_)) return columns_.failures.push_back(EventFailure::uncorrectable(index));
        if (columns_.events() == 0)
            reserve_like(columns_, record_, expected_events_, selection_, preceding_events_);
        append_record(columns_, index, record_, selection_);
    }

private:
    static inline const ChannelSelection kEveryChannel{};

    EventColumns& columns_;
    const calibration::Corrections& corrections_;
    const ChannelSelection& selection_;
    std::size_t expected_events_;
    std::size_t preceding_events_;
    typename Parser::Event record_;
};

struct ReadOptions {
    ChannelSelection channels;
    // Asked now and then (every few thousand events or some tens of MiB of
    // events), on the calling thread only, whether to stop; true stops the
    // read. It runs while this thread holds back fork() no more (as if
    // around a wait), so it may take locks a forking thread holds.
    std::function<bool()> interrupted;
    // Most runs to read on the pool at once; 0: the pool's size.
    std::size_t max_runs = 0;
};

// The events `indices` of `acquisition`, in that order (duplicates read
// again), parsed by the board of the Corrections' Params `model` and
// corrected, keeping the channels of `options`. Events that cannot be read,
// parsed or corrected, or lack a channel asked for, are left out and listed
// in `failures` with their error; an index beyond 2^63 - 1 (no acquisition
// holds that many events) is out of bounds without being read. The outcome
// does not depend on how many threads read. Nothing when `interrupted`
// stopped the read. Runs under a fork hold, letting a pending fork() go
// ahead between events. Throws std::bad_alloc when memory runs out.
std::optional<EventColumns> read_event_columns(const Acquisition& acquisition, std::span<const std::uint64_t> indices,
                                               const calibration::Corrections& corrections,
                                               const ReadOptions& options = {});

}  // namespace vintrel::columnar
