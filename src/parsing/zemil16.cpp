// Parser of the zemil16 board (not built yet: every event is refused).
#include "parsing/boards.hpp"

namespace vintrel::parsing {

std::expected<Zemil16::Event, ParsingError> Zemil16::parse(Bytes, const Params&) {
    return std::unexpected(ParsingError::UnsupportedModel);
}

}  // namespace vintrel::parsing
