// Fuzzes the merrowv3 event parser; input layout in parser_harness.hpp.
#include "parser_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vintrel::fuzz::run_parser<vintrel::parsing::Merrowv3>(data, size, "merrowv3",
                                                  {{"n_channel_headers"},
                                                   {"chanmask"},
                                                   {"chan_shift"},
                                                   {"windmask"},
                                                   {"datamask"},
                                                   {"n_event_headers"},
                                                   {"n_window_headers"},
                                                   {"n_footer_words"},
                                                   {"n_last_bits"}});
}
