#include "parsing/boards.hpp"

#include <array>

namespace vintrel::parsing {

std::optional<Board> board_for_model(std::string_view model) {
    static constexpr std::array<std::pair<std::string_view, Board>, 13> kTable{{
        {"merrowv3", Board::Merrowv3},
        {"fennikv2", Board::Fennikv2},
        {"tesslav3", Board::Tesslav3},
        {"tesslav3s", Board::Tesslav3s},
        {"fennikoc_fennik", Board::Fennikoc},
        {"fennikoc_tessla", Board::Fennikoc},
        {"ostra96", Board::Ostra96},
        {"grenvik", Board::Grenvikv1},
        {"pikorv1_evalr2", Board::Pikorv1},
        {"pikorv2_evalr1", Board::Pikorv1},
        {"pikorv2_evalr2", Board::Pikorv1},
        {"pikorv2_eval", Board::Pikorv1},
        {"zemil16", Board::Zemil16},
    }};
    for (const auto& [name, board] : kTable)
        if (name == model) return board;
    return std::nullopt;
}

}  // namespace vintrel::parsing
