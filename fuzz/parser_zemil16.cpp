// Fuzzes the zemil16 event parser; input layout in parser_harness.hpp.
#include "parser_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vintrel::fuzz::run_parser<vintrel::parsing::Zemil16>(data, size, "zemil16",
                                                  {{"data_mask"},
                                                   {"chanmask"},
                                                   {"chan_shift"},
                                                   {"windmask"},
                                                   {"n_chip_headers"},
                                                   {"n_chip_footers"},
                                                   {"n_window_headers"},
                                                   {"n_window_footers"}});
}
