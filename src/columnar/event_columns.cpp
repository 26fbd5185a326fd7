#include "columnar/event_columns.hpp"

namespace vintrel::columnar {

void EccErrorColumns::append(std::span<const parsing::EccErrorRecord> records) {
    // GCOVR_EXCL_START: the ostra96 parser leaves every channel's error list empty
    for (const parsing::EccErrorRecord& r : records) {
        offset.push_back(static_cast<std::int64_t>(r.offset));
        position.push_back(static_cast<std::int64_t>(r.position));
        word.push_back(r.word);
        corrected.push_back(r.corrected);
        bit.push_back(r.bit);
    }
    // GCOVR_EXCL_STOP
    offsets.push_back(static_cast<std::int64_t>(offset.size()));
}

void EccErrorColumns::shrink_to_fit() {
    offset.shrink_to_fit();
    position.shrink_to_fit();
    word.shrink_to_fit();
    corrected.shrink_to_fit();
    bit.shrink_to_fit();
    offsets.shrink_to_fit();
}

EventColumns::EventColumns(std::optional<parsing::Board> board) {
    channel_offsets.push_back(0);
    if (board == parsing::Board::Pikorv1) timing.emplace();
    if (board == parsing::Board::Ostra96) ecc_errors.emplace();
}

void EventColumns::shrink_to_fit() {
    index.shrink_to_fit();
    channel_offsets.shrink_to_fit();
    data.shrink_to_fit();
    time.shrink_to_fit();
    window_labels.shrink_to_fit();
    if (timing) timing->shrink_to_fit();
    if (ecc_errors) ecc_errors->shrink_to_fit();
}

}  // namespace vintrel::columnar
