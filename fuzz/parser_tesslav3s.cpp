// Fuzzes the tesslav3s event parser; input layout in parser_harness.hpp.
#include "parser_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vintrel::fuzz::run_parser<vintrel::parsing::Tesslav3s>(data, size, "tesslav3s",
                                                  {{"n_channel_headers"},
                                                   {"chanmask"},
                                                   {"chan_shift"},
                                                   {"windmask"},
                                                   {"datamask"},
                                                   {"n_event_headers"},
                                                   {"n_footer_words"},
                                                   {"n_window_headers"},
                                                   {"n_window_footers"},
                                                   {"n_last_bits"}});
}
