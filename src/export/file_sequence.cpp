#include "export/file_sequence.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "concurrency/worker_pool.hpp"

namespace vintrel::csv {
namespace {

constexpr std::size_t kNoFailure = std::numeric_limits<std::size_t>::max();

// Warning text one file may hold back before it waits for its turn.
constexpr std::size_t kMaxHeldWarnings = std::size_t{1} << 20;

}  // namespace

FileSequence::FileSequence(std::size_t count) : slots_(count), first_failure_(kNoFailure) {}

void FileSequence::failed_at(std::size_t k) {
    std::size_t seen = first_failure_.load();
    while (k < seen && !first_failure_.compare_exchange_weak(seen, k)) {
    }
}

void FileSequence::finish(std::size_t k, std::expected<StagedFile, ExportError> outcome, std::string warnings) {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[k];
    slot.done = true;
    slot.warnings = std::move(warnings);
    if (outcome) {
        slot.file.emplace(std::move(*outcome));
    } else {
        slot.error = std::move(outcome.error());
        failed_at(k);
    }
    publish_ready();
}

void FileSequence::fail(std::size_t k, std::exception_ptr exception, std::string warnings) {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[k];
    slot.done = true;
    slot.warnings = std::move(warnings);
    slot.exception = std::move(exception);
    failed_at(k);
    publish_ready();
}

void FileSequence::stop() {
    std::lock_guard lock(mutex_);
    stopped_.store(true);
    advanced_.notify_all();
}

void FileSequence::abandon(std::size_t k) {
    std::lock_guard lock(mutex_);
    slots_[k].done = true;
    slots_[k].warnings.clear();
}

// Moves the published prefix over every finished file. A failed file stops
// it for good, after its warnings (printed before it failed, when written
// one after another).
void FileSequence::publish_ready() {
    while (!stopped_.load() && published_ < slots_.size() && slots_[published_].done) {
        Slot& slot = slots_[published_];
        write_stdout(slot.warnings);
        slot.warnings.clear();
        if (!slot.file) break;  // failed
        if (auto ok = slot.file->publish(); !ok) {
            slot.error = std::move(ok.error());
            slot.file.reset();  // removes the temporary file
            failed_at(published_);
            break;
        }
        slot.file.reset();
        ++published_;
    }
    advanced_.notify_all();
}

bool FileSequence::wait_for_turn(std::size_t k) {
    const concurrency::ForkRelease waiting;
    std::unique_lock lock(mutex_);
    advanced_.wait(lock, [&] { return published_ == k || first_failure_.load() < k || stopped_.load(); });
    return published_ == k && !stopped_.load();
}

std::expected<void, ExportError> FileSequence::outcome() {
    std::lock_guard lock(mutex_);
    if (stopped_.load()) return std::unexpected(ExportError{ExportErrorKind::Interrupted, {}, {}});
    const std::size_t k = first_failure_.load();
    if (k == kNoFailure) return {};
    Slot& slot = slots_[k];
    if (slot.exception) std::rethrow_exception(slot.exception);
    return std::unexpected(std::move(*slot.error));
}

void HeldWarnings::line(std::string_view text) {
    if (dropped_) return;
    if (direct_) {
        write_stdout(text);
        return;
    }
    held_.append(text);
    if (held_.size() <= kMaxHeldWarnings) return;
    if (files_.wait_for_turn(k_)) {
        write_stdout(held_);
        direct_ = true;
    } else {
        dropped_ = true;
    }
    held_.clear();
    held_.shrink_to_fit();
}

}  // namespace vintrel::csv
