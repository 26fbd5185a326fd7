// Fuzzes the Parquet page encoder with offsets and values read from the
// input: offsets either raw (any int64, to reach every refusal) or built
// from small steps (so that most inputs are valid columns). A column that is
// accepted must come out as pages that hold every event once, at least one
// level per event, and the length-prefixed level runs followed by 4 bytes
// per value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "export/parquet_pages.hpp"
#include "fuzz_input.hpp"

namespace {

using namespace vintrel::parquet;

std::vector<std::int64_t> offsets(vintrel::fuzz::Input& in, std::size_t max_count) {
    const bool stepped = (in.byte() & 1) != 0;
    const std::size_t count = in.number() % (max_count + 1);
    std::vector<std::int64_t> out;
    std::int64_t at = stepped ? static_cast<std::int64_t>(in.number() % 4) : 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (stepped) at += static_cast<std::int64_t>(in.number() % 5);
        out.push_back(stepped ? at : static_cast<std::int64_t>(in.number()));
    }
    return out;
}

std::uint32_t u32_at(const std::vector<std::byte>& bytes, std::size_t at) {
    if (at + 4 > bytes.size()) std::abort();
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;  // little-endian machines only, as the harnesses run
}

void check(const NestedLists& column, const std::vector<PageBody>& pages) {
    std::int64_t events = 0;
    std::size_t value_bytes = 0;
    for (const PageBody& page : pages) {
        if (page.events < 1 || page.levels < page.events) std::abort();
        events += page.events;
        const std::size_t repetition = u32_at(page.bytes, 0);
        const std::size_t definition = u32_at(page.bytes, 4 + repetition);
        const std::size_t levels_end = 8 + repetition + definition;
        if (levels_end > page.bytes.size() || (page.bytes.size() - levels_end) % 4 != 0) std::abort();
        value_bytes += page.bytes.size() - levels_end;
    }
    const auto events_in = static_cast<std::int64_t>(column.outer.size()) - 1;
    if (events != (events_in > 0 ? events_in : 0)) std::abort();
    if (column.outer.empty()) return;
    const auto first = column.inner[static_cast<std::size_t>(column.outer.front())];
    const auto last = column.inner[static_cast<std::size_t>(column.outer.back())];
    if (value_bytes != static_cast<std::size_t>(last - first) * 4) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vintrel::fuzz::Input in(data, size);
    const auto encoding = (in.byte() & 1) != 0 ? ValueEncoding::SplitFloat32 : ValueEncoding::WidenedUint16;
    const DefinitionLevels levels{in.byte(), in.byte(), in.byte()};
    const std::size_t page_bytes = in.number() % 4096;
    const std::vector<std::int64_t> outer = offsets(in, 40);
    const std::vector<std::int64_t> inner = offsets(in, 120);
    const auto rest = in.rest();
    const NestedLists column{outer, inner, std::as_bytes(rest)};
    auto pages = encode_pages(column, encoding, levels, page_bytes);
    if (pages) check(column, *pages);
    return 0;
}
