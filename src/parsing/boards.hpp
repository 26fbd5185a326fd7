// The board model table: thirteen model strings select nine parsers. Each
// parser is a type with `Event` (its record) and a static `parse`, a pure
// function of (bytes, Params). `parse_into` fills a record of the caller's
// instead, reusing the room its fields already hold: a caller parsing many
// events into one record allocates only while the events grow. A record
// that parse_into failed on holds nothing meaningful.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "acquisition/metadata.hpp"
#include "error/errors.hpp"
#include "parsing/records.hpp"

namespace vintrel::parsing {

using Bytes = std::span<const std::uint8_t>;

#define VINTREL_PARSER(Name, EventType)                                                               \
    struct Name {                                                                                     \
        using Event = EventType;                                                                      \
        static std::expected<void, ParsingError> parse_into(Bytes bytes, const Params& params,        \
                                                            Event& event);                            \
        static std::expected<Event, ParsingError> parse(Bytes bytes, const Params& params) {          \
            Event event;                                                                              \
            if (auto parsed = parse_into(bytes, params, event); !parsed)                              \
                return std::unexpected(parsed.error());                                               \
            return event;                                                                             \
        }                                                                                             \
    }

VINTREL_PARSER(Merrowv3, Merrowv3Event);
VINTREL_PARSER(Tesslav3, Tesslav3Event);
VINTREL_PARSER(Fennikv2, Fennikv2Event);
VINTREL_PARSER(Tesslav3s, Tesslav3SEvent);
VINTREL_PARSER(Fennikoc, FennikocEvent);
VINTREL_PARSER(Ostra96, Ostra96Event);
VINTREL_PARSER(Grenvikv1, Grenvikv1Event);
VINTREL_PARSER(Pikorv1, Pikorv1Event);
VINTREL_PARSER(Zemil16, Zemil16Event);

#undef VINTREL_PARSER

enum class Board : std::uint8_t { Merrowv3, Fennikv2, Tesslav3, Tesslav3s, Fennikoc, Ostra96, Grenvikv1, Pikorv1, Zemil16 };

// The board of a model string, compared whole and case-sensitively.
std::optional<Board> board_for_model(std::string_view model);

// Calls f with the parser type of `board` (a default-constructed tag value).
template <class F>
decltype(auto) visit_board(Board board, F&& f) {
    switch (board) {
        case Board::Merrowv3: return std::forward<F>(f)(Merrowv3{});
        case Board::Fennikv2: return std::forward<F>(f)(Fennikv2{});
        case Board::Tesslav3: return std::forward<F>(f)(Tesslav3{});
        case Board::Tesslav3s: return std::forward<F>(f)(Tesslav3s{});
        case Board::Fennikoc: return std::forward<F>(f)(Fennikoc{});
        case Board::Ostra96: return std::forward<F>(f)(Ostra96{});
        case Board::Grenvikv1: return std::forward<F>(f)(Grenvikv1{});
        case Board::Pikorv1: return std::forward<F>(f)(Pikorv1{});
        case Board::Zemil16: break;
    }
    return std::forward<F>(f)(Zemil16{});
}

}  // namespace vintrel::parsing
