// Parser of the fennikv2 board: its events have the tesslav3 format and
// record, so parsing one is parsing it as tesslav3.
#include "parsing/boards.hpp"

namespace vintrel::parsing {

std::expected<Fennikv2::Event, ParsingError> Fennikv2::parse(Bytes bytes, const Params& params) {
    return Tesslav3::parse(bytes, params);
}

}  // namespace vintrel::parsing
