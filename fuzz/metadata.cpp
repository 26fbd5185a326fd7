// Fuzzes the metadata.yml reader: any text gives Metadata or a MetadataError.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "acquisition/metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto metadata = vintrel::parse_metadata(text);
    if (metadata) {
        // A reader of the result looks keys up; that must be safe too.
        static_cast<void>(metadata->params.find("n_event_headers"));
    }
    return 0;
}
