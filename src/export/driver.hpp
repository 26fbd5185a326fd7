// The export driver: cuts a list of event indices into chunks and writes one
// CSV file per chunk, "<acquisition name> (chunk <k>).csv", into a directory.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "acquisition/acquisition.hpp"
#include "calibration/corrections.hpp"
#include "error/errors.hpp"

namespace vintrel::csv {

// Events per file when exporting from Python.
constexpr std::size_t kDefaultChunkSize = 1000;

// Reads, parses and corrects the events of each chunk (those that fail are
// left out) and writes them. Files of earlier chunks stay complete when a
// later one fails. `chunk_size` must be at least 1.
std::expected<void, ExportError> export_csv_from_acq(const Acquisition& acquisition,
                                                     std::span<const std::uint64_t> indices,
                                                     const calibration::Corrections& corrections,
                                                     const std::string& out_dir, std::size_t chunk_size);

}  // namespace vintrel::csv
