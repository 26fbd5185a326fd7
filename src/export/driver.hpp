// The export driver: cuts a list of event indices into chunks and writes one
// CSV file per chunk, "<acquisition name> (chunk <k>).csv", into a directory.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "acquisition/acquisition.hpp"
#include "calibration/corrections.hpp"
#include "concurrency/interruption.hpp"
#include "error/errors.hpp"

namespace vintrel::csv {

// Events per file when exporting from Python.
constexpr std::size_t kDefaultChunkSize = 1000;

// Reads, parses and corrects the events of each chunk (those that fail are
// left out) and writes them. The files are written in parallel on the worker
// pool, at most one per worker at a time, and the outcome is that of writing
// them one after another: each file appears under its final name only when
// it and all files before it are complete; on failure the error is that of
// the first failing file, the files before it are in place and no later one
// is touched. `chunk_size` must be at least 1. An allocation failure in a
// file's task is rethrown here. With an `interruption`, the export asks it
// between files and between events; once it says stop, the export stops as
// a failure stops (the files published so far stay, nothing else is left)
// and gives Interrupted.
std::expected<void, ExportError> export_csv_from_acq(const Acquisition& acquisition,
                                                     std::span<const std::uint64_t> indices,
                                                     const calibration::Corrections& corrections,
                                                     const std::string& out_dir, std::size_t chunk_size,
                                                     concurrency::Interruption* interruption = nullptr);

}  // namespace vintrel::csv
