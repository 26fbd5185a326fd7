// Fuzzes the pikorv1_evalr2 event parser; input layout in parser_harness.hpp.
#include "parser_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vintrel::fuzz::run_parser<vintrel::parsing::Pikorv1>(data, size, "pikorv1_evalr2",
                                                  {{"chanmask"},
                                                   {"abs_wind_mask"},
                                                   {"timing_mask"},
                                                   {"timing_shift"},
                                                   {"packet_size"},
                                                   {"headers"},
                                                   {"stop_word", true}});
}
