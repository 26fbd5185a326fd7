// Fuzzes the ostra96 event parser; input layout in parser_harness.hpp.
#include "parser_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vintrel::fuzz::run_parser<vintrel::parsing::Ostra96>(data, size, "ostra96",
                                                  {{"num_chips"},
                                                   {"n_chip_headers"},
                                                   {"n_chip_footers"},
                                                   {"n_window_headers"},
                                                   {"n_window_footers"},
                                                   {"data_mask"},
                                                   {"chanmask"},
                                                   {"chan_shift"},
                                                   {"windmask"},
                                                   {"n_event_footers"}});
}
