// Parser of the fennikv2 board (not built yet: every event is refused).
#include "parsing/boards.hpp"

namespace vintrel::parsing {

std::expected<Fennikv2::Event, ParsingError> Fennikv2::parse(Bytes, const Params&) {
    return std::unexpected(ParsingError::UnsupportedModel);
}

}  // namespace vintrel::parsing
