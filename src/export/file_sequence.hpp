// The files of one export, written in parallel and published in index order,
// so that the caller sees what writing them one after another would show: a
// file appears under its final name only when it and every file before it
// are complete; after a failure, the files before the first failing one are
// in place and no later one is touched; "Bad channel" lines come out in file
// order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <expected>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/errors.hpp"
#include "export/csv.hpp"
#include "export/staged_file.hpp"

namespace vintrel::csv {

class FileSequence {
public:
    explicit FileSequence(std::size_t count);

    // True once a file before k has failed: writing one after another would
    // never have reached file k, so its task stops early and leaves nothing.
    // Also true for every file once the export is stopped.
    bool abandoned(std::size_t k) const { return k > first_failure_.load() || stopped_.load(); }
    // The caller asked to stop: no file is published from now on, and every
    // file not yet published is abandoned (its temporary file removed).
    void stop();

    // File k is done: complete under its temporary name, or failed, with the
    // warning lines it held back. Publishes every file whose turn has come.
    void finish(std::size_t k, std::expected<StagedFile, ExportError> outcome, std::string warnings);
    // File k ended in an exception (out of memory), rethrown by outcome().
    void fail(std::size_t k, std::exception_ptr exception, std::string warnings);
    // File k stopped because an earlier one failed.
    void abandon(std::size_t k);

    // Waits until every file before k is published (true) or one of them
    // has failed (false). Lets a fork go ahead meanwhile.
    bool wait_for_turn(std::size_t k);

    // Once every file is finished: success, Interrupted after stop(), or the
    // error of the first file that failed. Temporary files of later files
    // are removed when the sequence is destroyed.
    std::expected<void, ExportError> outcome();

private:
    struct Slot {
        bool done = false;
        std::optional<StagedFile> file;
        std::optional<ExportError> error;
        std::exception_ptr exception;
        std::string warnings;
    };

    void failed_at(std::size_t k);
    void publish_ready();  // needs mutex_

    std::mutex mutex_;
    std::condition_variable advanced_;
    std::vector<Slot> slots_;
    std::size_t published_ = 0;  // files 0 .. published_-1 are in place
    std::atomic<std::size_t> first_failure_;
    std::atomic<bool> stopped_{false};
};

// The "Bad channel" lines of file k, held back until its turn so that they
// come out in file order. A file with more than it may hold waits for its
// turn, then writes them straight out.
class HeldWarnings final : public WarningSink {
public:
    HeldWarnings(FileSequence& files, std::size_t k) : files_(files), k_(k) {}
    void line(std::string_view text) override;
    std::string take() { return std::move(held_); }

private:
    FileSequence& files_;
    std::size_t k_;
    std::string held_;
    bool direct_ = false;
    bool dropped_ = false;  // an earlier file failed: these lines are never printed
};

}  // namespace vintrel::csv
