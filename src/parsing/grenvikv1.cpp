// Parser of the grenvikv1 board (not built yet: every event is refused).
#include "parsing/boards.hpp"

namespace vintrel::parsing {

std::expected<Grenvikv1::Event, ParsingError> Grenvikv1::parse(Bytes, const Params&) {
    return std::unexpected(ParsingError::UnsupportedModel);
}

}  // namespace vintrel::parsing
