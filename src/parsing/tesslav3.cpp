// Parser of the tesslav3 board (not built yet: every event is refused).
#include "parsing/boards.hpp"

namespace vintrel::parsing {

std::expected<Tesslav3::Event, ParsingError> Tesslav3::parse(Bytes, const Params&) {
    return std::unexpected(ParsingError::UnsupportedModel);
}

}  // namespace vintrel::parsing
