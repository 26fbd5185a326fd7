// Corrections applied to parsed events (a copy of the acquisition's Params
// and an optional pedestal table), and the stream that turns a list of event
// indices into parsed, corrected records of one board's record type.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>

#include "acquisition/acquisition.hpp"
#include "acquisition/event_reader.hpp"
#include "calibration/pedestals.hpp"
#include "parsing/boards.hpp"

namespace vintrel::calibration {

struct Corrections {
    Params params;
    std::optional<Pedestals> pedestals_table;

    explicit Corrections(Params p) : params(std::move(p)) {}

    // Replaces the pedestal table (none turns pedestal correction off).
    Corrections pedestals(std::optional<Pedestals> table) && {
        pedestals_table = std::move(table);
        return std::move(*this);
    }

    // Applies every correction the bundle carries to one record.
    std::expected<void, CorrectionFailure> apply(parsing::ChannelRecord& event) const;
};

// A single pass over `indices`: reads each event (duplicates again), parses
// it with `Parser`, and corrects it. Events that cannot be read or parsed are
// skipped; a failed correction is yielded as CorrectionFailure. A chunk file
// that the system refuses to open (no descriptor left, no permission) ends
// the stream: failure() then says why. Reads go through one EventReader, so
// indices in order open each chunk once. Holds one raw event and one record
// at a time. The acquisition, Params, indices and Corrections are borrowed
// and must outlive the stream; one stream per thread.
template <class Parser>
class Corrected {
public:
    using Event = typename Parser::Event;
    using Item = std::expected<Event, CorrectionFailure>;

    Corrected(std::span<const std::uint64_t> indices, const Acquisition& acquisition, const Params& params,
              const Corrections& corrections)
        : indices_(indices), reader_(acquisition), params_(params), corrections_(corrections) {}

    // The next item, or nothing at the end of the indices (or at a failure).
    std::optional<Item> next() {
        while (next_ < indices_.size() && !failure_) {
            auto raw = reader_.read(indices_[next_++]);
            if (!raw) {
                if (raw.error().kind == AcquisitionErrorKind::OpenFailed) failure_ = std::move(raw.error());
                continue;
            }
            auto event = Parser::parse(*raw, params_);
            if (!event) continue;
            if (auto ok = corrections_.apply(*event); !ok) return Item(std::unexpect, ok.error());
            return Item(std::move(*event));
        }
        return std::nullopt;
    }

    // The error that ended the stream early (OpenFailed), if any.
    const std::optional<AcquisitionError>& failure() const { return failure_; }

private:
    std::span<const std::uint64_t> indices_;
    std::size_t next_ = 0;
    EventReader reader_;
    const Params& params_;
    const Corrections& corrections_;
    std::optional<AcquisitionError> failure_;
};

}  // namespace vintrel::calibration
