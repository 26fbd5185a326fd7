#include "columnar/read_columns.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <limits>
#include <thread>
#include <vector>

#include "acquisition/event_reader.hpp"
#include "columnar/join_columns.hpp"
#include "concurrency/worker_pool.hpp"

namespace vintrel::columnar {
namespace {

// Fewer events than this per run are not worth a thread (the handoff and
// the join cost about as much as reading them).
constexpr std::size_t kMinRunEvents = 256;
// The calling thread asks whether to stop after this many events, or bytes
// of events, whichever comes first.
constexpr std::size_t kPollEvents = 2048;
constexpr std::size_t kPollBytes = std::size_t{32} << 20;

// What the runs of one read share.
struct Reading {
    const Acquisition& acquisition;
    const calibration::Corrections& corrections;
    const ReadOptions& options;
    std::optional<parsing::Board> board;
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> stop{false};
};

// Asks the caller's `interrupted` now and then, on the calling thread only.
class Poll {
public:
    explicit Poll(Reading& reading)
        : reading_(reading), active_(reading.options.interrupted && std::this_thread::get_id() == reading.caller) {}

    void after_event(std::size_t bytes) {
        if (!active_) return;
        ++events_;
        bytes_ += bytes;
        if (events_ < kPollEvents && bytes_ < kPollBytes) return;
        events_ = bytes_ = 0;
        bool stop = false;
        {
            const concurrency::ForkRelease unheld;
            stop = reading_.options.interrupted();
        }
        if (stop) reading_.stop.store(true, std::memory_order_relaxed);
    }

private:
    Reading& reading_;
    bool active_;
    std::size_t events_ = 0;
    std::size_t bytes_ = 0;
};

// One run of consecutive requested events, into columns of its own, placed
// to join after `preceding` events.
EventColumns read_run(Reading& reading, std::span<const std::uint64_t> run, std::size_t preceding) {
    EventColumns columns(reading.board);
    EventReader reader(reading.acquisition);
    Poll poll(reading);
    // Calls add(index, bytes) for every event that can be read.
    const auto each_event = [&](auto&& add) {
        for (const std::uint64_t index : run) {
            if (reading.stop.load(std::memory_order_relaxed)) return;
            concurrency::fork_checkpoint();
            std::size_t bytes = 0;
            if (index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                columns.failures.push_back(
                    EventFailure::unreadable(index, {AcquisitionErrorKind::IndexOutOfBounds, {}}));
            } else if (auto raw = reader.read(index); !raw) {
                columns.failures.push_back(EventFailure::unreadable(index, std::move(raw.error())));
            } else {
                bytes = raw->size();
                add(index, *raw);
            }
            poll.after_event(bytes);
        }
    };
    if (!reading.board) {
        // Every event that can be read fails to parse, as acq[i] does.
        each_event([&](std::uint64_t index, parsing::Bytes) {
            columns.failures.push_back(EventFailure::unparsable(index, ParsingError::UnsupportedModel));
        });
    } else {
        parsing::visit_board(*reading.board, [&](auto parser) {
            EventAppender<decltype(parser)> appender(columns, reading.corrections, run.size(),
                                                     reading.options.channels, preceding);
            each_event([&](std::uint64_t index, parsing::Bytes raw) { appender.add(index, raw); });
        });
    }
    return columns;
}

std::size_t run_count(std::size_t events, std::size_t max_runs) {
    if (max_runs == 0) max_runs = concurrency::configured_pool_size();
    return std::max<std::size_t>(1, std::min(max_runs, events / kMinRunEvents));
}

// Where run r of `runs` near-equal runs of `count` events starts.
std::size_t run_start(std::size_t count, std::size_t r, std::size_t runs) {
    return count / runs * r + std::min(r, count % runs);
}

}  // namespace

std::optional<EventColumns> read_event_columns(const Acquisition& acquisition, std::span<const std::uint64_t> indices,
                                               const calibration::Corrections& corrections,
                                               const ReadOptions& options) {
    const concurrency::ForkHold hold;
    Reading reading{acquisition, corrections, options, parsing::board_for_model(corrections.params.model)};
    const std::size_t runs = run_count(indices.size(), options.max_runs);
    std::vector<std::optional<EventColumns>> parts(runs);
    if (runs == 1) {
        parts[0].emplace(read_run(reading, indices, 0));
    } else {
        // Pool tasks must not throw: an allocation failure is kept and
        // rethrown here, after the other runs stopped.
        std::vector<std::exception_ptr> errors(runs);
        auto task = [&](std::size_t r) {
            try {
                const std::size_t begin = run_start(indices.size(), r, runs);
                const std::size_t end = run_start(indices.size(), r + 1, runs);
                parts[r].emplace(read_run(reading, indices.subspan(begin, end - begin), begin));
            } catch (...) {
                errors[r] = std::current_exception();
                reading.stop.store(true, std::memory_order_relaxed);
            }
        };
        concurrency::parallel_for(runs, task);
        for (const std::exception_ptr& error : errors)
            if (error) std::rethrow_exception(error);
    }
    if (reading.stop.load(std::memory_order_relaxed)) return std::nullopt;

    EventColumns columns = std::move(*parts[0]);
    std::vector<EventColumns> rest;
    rest.reserve(runs - 1);
    for (std::size_t r = 1; r < runs; ++r) rest.push_back(std::move(*parts[r]));
    parts.clear();
    append_parts(columns, rest);
    columns.shrink_to_fit();
    return columns;
}

}  // namespace vintrel::columnar
