// Parser of the fennikv2 board: its events have the tesslav3 format and
// record, so parsing one is parsing it as tesslav3.
#include "parsing/boards.hpp"

namespace vintrel::parsing {

std::expected<void, ParsingError> Fennikv2::parse_into(Bytes bytes, const Params& params, Event& event) {
    return Tesslav3::parse_into(bytes, params, event);
}

}  // namespace vintrel::parsing
