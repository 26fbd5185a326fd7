#include "calibration/corrections.hpp"

namespace vintrel::calibration {

std::expected<void, CorrectionFailure> Corrections::apply(parsing::ChannelRecord& event) const {
    if (!pedestals_table) return {};
    return pedestals_table->correct(event, params);
}

}  // namespace vintrel::calibration
