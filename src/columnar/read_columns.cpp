#include "columnar/read_columns.hpp"

#include <cstdint>
#include <limits>

#include "acquisition/event_reader.hpp"

namespace vintrel::columnar {

EventColumns read_event_columns(const Acquisition& acquisition, std::span<const std::uint64_t> indices,
                                const calibration::Corrections& corrections) {
    const auto board = parsing::board_for_model(corrections.params.model);
    EventColumns columns(board);
    EventReader reader(acquisition);
    // Calls add(index, bytes) for every event that can be read.
    const auto each_event = [&](auto&& add) {
        for (const std::uint64_t index : indices) {
            if (index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                columns.failures.push_back(
                    EventFailure::unreadable(index, {AcquisitionErrorKind::IndexOutOfBounds, {}}));
                continue;
            }
            auto raw = reader.read(index);
            if (!raw) {
                columns.failures.push_back(EventFailure::unreadable(index, std::move(raw.error())));
                continue;
            }
            add(index, *raw);
        }
    };
    if (!board) {
        // Every event that can be read fails to parse, as acq[i] does.
        each_event([&](std::uint64_t index, parsing::Bytes) {
            columns.failures.push_back(EventFailure::unparsable(index, ParsingError::UnsupportedModel));
        });
    } else {
        parsing::visit_board(*board, [&](auto parser) {
            EventAppender<decltype(parser)> appender(columns, corrections, indices.size());
            each_event([&](std::uint64_t index, parsing::Bytes raw) { appender.add(index, raw); });
        });
    }
    columns.shrink_to_fit();
    return columns;
}

}  // namespace vintrel::columnar
