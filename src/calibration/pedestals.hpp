// The pedestal table: the baseline of every sample position of every storage
// window of every channel, read from the acquisition's gzip-compressed,
// pickled "pedestals_calibration" side file, and its subtraction from a
// parsed event.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "acquisition/metadata.hpp"
#include "calibration/gzip_reader.hpp"
#include "parsing/records.hpp"

namespace vintrel::calibration {

// A correction that could not be applied; the event must be discarded.
struct CorrectionFailure {};

// Most numbers a pedestal table may hold (all levels together), so that a
// small file of shared memo references cannot expand without bound.
constexpr std::uint64_t kMaxPedestalValues = std::uint64_t{1} << 25;

struct Pedestals {
    // data[channel][window label][sample position]; the levels may be ragged.
    std::vector<std::vector<std::vector<float>>> data;

    // Decodes the whole file: gzip (first member), then one pickle holding
    // {"data": table, ...}, [table, ...], (table, ...) or None (no pedestals),
    // followed by nothing.
    static std::expected<Pedestals, LoadError> from_bytes(std::span<const std::uint8_t> file);

    // Subtracts, in 32-bit float arithmetic, ped[c][label][s] from each
    // sample of channels 0 .. channels-1 that carry window labels. On failure
    // the samples before the failing one are already changed.
    std::expected<void, CorrectionFailure> correct(parsing::ChannelRecord& event, const Params& params) const;
};

}  // namespace vintrel::calibration
