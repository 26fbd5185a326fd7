#include "export/driver.hpp"

#include <exception>
#include <vector>

#include "concurrency/worker_pool.hpp"
#include "export/csv.hpp"
#include "export/file_sequence.hpp"
#include "export/staged_file.hpp"
#include "export/temporary_names.hpp"
#include "parsing/boards.hpp"

namespace vintrel::csv {
namespace {

// What one file's task needs, shared read-only by all of them.
struct Job {
    const Acquisition& acquisition;
    std::span<const std::uint64_t> indices;
    const Params& params;
    const calibration::Corrections& corrections;
    const std::string& out_dir;
    const std::string& name;
    std::size_t chunk_size;
    concurrency::Interruption* interruption;

    // Whether file k's task is to stop: an earlier file failed, or the
    // caller asked to stop (then no file is to be published any more).
    bool stop(std::size_t k, FileSequence& files, bool now = false) const {
        if (concurrency::interrupted(interruption, now)) files.stop();
        return files.abandoned(k);
    }
};

std::string file_name(const std::string& acquisition_name, std::size_t k) {
    return acquisition_name + " (chunk " + std::to_string(k) + ").csv";
}

// The events of chunk k that can be read, parsed and corrected, in order;
// nothing when an earlier file fails meanwhile; an error when a chunk file
// the events live in cannot be opened. Between events the thread lets a
// pending fork go ahead, so that a fork never waits for a whole file.
template <class Parser>
std::expected<std::optional<std::vector<typename Parser::Event>>, ExportError> collect_events(
    const Job& job, std::size_t k, FileSequence& files) {
    const std::size_t start = k * job.chunk_size;
    const auto chunk = job.indices.subspan(start, std::min(job.chunk_size, job.indices.size() - start));
    std::vector<typename Parser::Event> events;
    calibration::Corrected<Parser> stream(chunk, job.acquisition, job.params, job.corrections);
    while (auto item = stream.next()) {
        if (*item) events.push_back(std::move(**item));  // correction failures are left out
        concurrency::fork_checkpoint();
        if (job.stop(k, files)) return std::nullopt;
    }
    if (stream.failure()) return std::unexpected(export_error_from_acquisition(*stream.failure()));
    return events;
}

// The header over the channel set of all events, then their rows; false
// when an earlier file fails meanwhile.
template <class Event>
std::expected<bool, ExportError> write_events(const Job& job, StagedFile& file, std::span<const Event> events,
                                              std::size_t k, FileSequence& files, WarningSink& warnings) {
    const Params& params = job.params;
    const auto set = channels(events);
    if (auto ok = write_header(file.writer(), set, kHasTiming<Event>); !ok)
        return std::unexpected(about_file(std::move(ok.error()), file.final_path()));
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (auto ok = write_event(file.writer(), params, events[i], set, i, warnings); !ok)
            return std::unexpected(about_file(std::move(ok.error()), file.final_path()));
        concurrency::fork_checkpoint();
        if (job.stop(k, files)) return false;
    }
    return true;
}

// Chunk k's file, complete under its temporary name; nothing when an
// earlier file fails meanwhile. The file is created before the events are
// read, as when writing one file after another.
template <class Parser>
std::expected<std::optional<StagedFile>, ExportError> write_chunk(const Job& job, std::size_t k,
                                                                  FileSequence& files, WarningSink& warnings) {
    if (job.stop(k, files, true)) return std::nullopt;
    auto file = StagedFile::create(job.out_dir, file_name(job.name, k));
    if (!file) return std::unexpected(std::move(file.error()));
    // The chunk's events are held until its file is written: the header
    // needs the channel set of all of them.
    const auto events = collect_events<Parser>(job, k, files);
    if (!events) return std::unexpected(events.error());
    if (!*events) return std::nullopt;
    auto written = write_events<typename Parser::Event>(job, *file, **events, k, files, warnings);
    if (!written) return std::unexpected(std::move(written.error()));
    if (!*written) return std::nullopt;
    if (auto ok = file->close(); !ok) return std::unexpected(std::move(ok.error()));
    return std::optional<StagedFile>(std::move(*file));
}

// The task of file k. Exceptions (out of memory) must not leave a pool
// thread: they are kept with the file and rethrown by the caller.
template <class Parser>
void run_chunk(const Job& job, std::size_t k, FileSequence& files) {
    HeldWarnings warnings(files, k);
    try {
        auto written = write_chunk<Parser>(job, k, files, warnings);
        if (!written)
            files.finish(k, std::unexpected(std::move(written.error())), warnings.take());
        else if (*written)
            files.finish(k, std::move(**written), warnings.take());
        else
            files.abandon(k);
    } catch (...) {
        files.fail(k, std::current_exception(), warnings.take());
    }
}

}  // namespace

std::expected<void, ExportError> export_csv_from_acq(const Acquisition& acquisition,
                                                     std::span<const std::uint64_t> indices,
                                                     const calibration::Corrections& corrections,
                                                     const std::string& out_dir, std::size_t chunk_size,
                                                     concurrency::Interruption* interruption) {
    auto metadata = acquisition.metadata();
    if (!metadata) return std::unexpected(export_error_from_metadata(std::move(metadata.error())));
    const Params params = std::move(metadata->params);
    if (indices.empty()) return {};

    const auto board = parsing::board_for_model(params.model);
    if (!board) return std::unexpected(ExportError{ExportErrorKind::Parse, {}, {}, ParsingError::UnsupportedModel});
    // An acquisition path without a usable last component gives no file name.
    auto name = acquisition.name();
    if (!name) return std::unexpected(ExportError{ExportErrorKind::InvalidPath, {}, {}});
    if (chunk_size == 0) chunk_size = kDefaultChunkSize;

    // Temporaries of an earlier export of this acquisition that was killed.
    remove_stale_temporaries(out_dir, *name);

    const Job job{acquisition, indices, params, corrections, out_dir, *name, chunk_size, interruption};
    const std::size_t count = (indices.size() + chunk_size - 1) / chunk_size;
    return parsing::visit_board(*board, [&]<class Parser>(Parser) -> std::expected<void, ExportError> {
        FileSequence files(count);
        auto task = [&](std::size_t k) { run_chunk<Parser>(job, k, files); };
        concurrency::parallel_for(count, task);
        return files.outcome();
    });
}

}  // namespace vintrel::csv
