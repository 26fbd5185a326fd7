// Fuzzes the tesslav3 event parser; input layout in parser_harness.hpp.
#include "parser_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vintrel::fuzz::run_parser<vintrel::parsing::Tesslav3>(data, size, "tesslav3",
                                                  {{"databitmask"},
                                                   {"chanmask"},
                                                   {"chan_shift"},
                                                   {"windmask"},
                                                   {"n_event_headers"},
                                                   {"n_window_headers"},
                                                   {"n_footers"},
                                                   {"n_last_bits"}});
}
