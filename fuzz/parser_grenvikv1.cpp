// Fuzzes the grenvik event parser; input layout in parser_harness.hpp.
#include "parser_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vintrel::fuzz::run_parser<vintrel::parsing::Grenvikv1>(data, size, "grenvik",
                                                  {{"n_window_headers"},
                                                   {"n_event_headers"},
                                                   {"n_footer_words"}});
}
