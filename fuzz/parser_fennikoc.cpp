// Fuzzes the fennikoc_fennik event parser; input layout in parser_harness.hpp.
#include "parser_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vintrel::fuzz::run_parser<vintrel::parsing::Fennikoc>(data, size, "fennikoc_fennik",
                                                  {{"num_chips"},
                                                   {"databitmask"},
                                                   {"chanmask"},
                                                   {"chan_shift"},
                                                   {"windmask"},
                                                   {"chip_stop_word"},
                                                   {"n_chip_headers"},
                                                   {"n_window_headers"}});
}
