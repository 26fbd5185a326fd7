// Parser of the fennikoc board (not built yet: every event is refused).
#include "parsing/boards.hpp"

namespace vintrel::parsing {

std::expected<Fennikoc::Event, ParsingError> Fennikoc::parse(Bytes, const Params&) {
    return std::unexpected(ParsingError::UnsupportedModel);
}

}  // namespace vintrel::parsing
