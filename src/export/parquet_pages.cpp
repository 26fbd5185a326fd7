#include "export/parquet_pages.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace vintrel::parquet {
namespace {

constexpr std::int64_t kMaxPageField = std::numeric_limits<std::int32_t>::max();
// Encoded bytes per value: float32, or uint16 widened to int32.
constexpr std::size_t kEncodedWidth = 4;

std::size_t value_width(ValueEncoding encoding) { return encoding == ValueEncoding::SplitFloat32 ? 4 : 2; }

// Levels as runs of the RLE / bit-packing hybrid: a ULEB128 header of the
// count shifted left by one (low bit 0: a run), then the value in one byte
// (levels here take at most 8 bits).
class Runs {
public:
    void add(std::uint8_t value, std::int64_t count) {
        if (count == 0) return;
        if (count_ > 0 && value == value_) {
            count_ += count;
            return;
        }
        flush();
        value_ = value;
        count_ = count;
    }

    // The runs with their 4-byte little-endian length before them.
    void write_to(std::vector<std::byte>& out) {
        flush();
        append_u32(out, static_cast<std::uint32_t>(bytes_.size()));
        out.insert(out.end(), bytes_.begin(), bytes_.end());
    }

    static void append_u32(std::vector<std::byte>& out, std::uint32_t v) {
        for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::byte>(v >> shift));
    }

private:
    void flush() {
        if (count_ == 0) return;
        auto header = static_cast<std::uint64_t>(count_) << 1;
        while (header >= 0x80) {
            bytes_.push_back(static_cast<std::byte>(header | 0x80));
            header >>= 7;
        }
        bytes_.push_back(static_cast<std::byte>(header));
        bytes_.push_back(static_cast<std::byte>(value_));
        count_ = 0;
    }

    std::vector<std::byte> bytes_;
    std::uint8_t value_ = 0;
    std::int64_t count_ = 0;
};

bool monotonic(std::span<const std::int64_t> offsets) {
    if (offsets.front() < 0) return false;
    for (std::size_t i = 1; i < offsets.size(); ++i)
        if (offsets[i] < offsets[i - 1]) return false;
    return true;
}

std::expected<void, std::string_view> check(const NestedLists& c, ValueEncoding encoding) {
    if (c.outer.empty() || !monotonic(c.outer)) return std::unexpected("event offsets are not monotonic");
    const auto lists = static_cast<std::uint64_t>(c.outer.back());
    if (lists >= c.inner.size()) return std::unexpected("event offsets lie past the lists");
    const auto used = c.inner.subspan(static_cast<std::size_t>(c.outer.front()),
                                      static_cast<std::size_t>(lists - static_cast<std::uint64_t>(c.outer.front()) + 1));
    if (!monotonic(used)) return std::unexpected("list offsets are not monotonic");
    const auto values = static_cast<std::uint64_t>(used.back());
    if (values > c.values.size() / value_width(encoding)) return std::unexpected("list offsets lie past the values");
    return {};
}

// The values inner[from] .. inner[to], encoded, appended to `out`.
void append_values(const NestedLists& c, ValueEncoding encoding, std::int64_t from, std::int64_t to,
                   std::vector<std::byte>& out) {
    const auto first = static_cast<std::size_t>(from);
    const auto n = static_cast<std::size_t>(to - from);
    const std::size_t at = out.size();
    out.resize(at + n * kEncodedWidth);
    std::byte* dst = out.data() + at;
    if (encoding == ValueEncoding::SplitFloat32) {
        const std::byte* src = c.values.data() + first * 4;
        // Stream k holds byte k of every value, least significant first.
        constexpr bool little = std::endian::native == std::endian::little;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k < 4; ++k) dst[k * n + i] = src[4 * i + (little ? k : 3 - k)];
        return;
    }
    const std::byte* src = c.values.data() + first * 2;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint16_t v;
        std::memcpy(&v, src + 2 * i, 2);
        dst[4 * i] = static_cast<std::byte>(v & 0xFF);
        dst[4 * i + 1] = static_cast<std::byte>(v >> 8);
        dst[4 * i + 2] = dst[4 * i + 3] = std::byte{0};
    }
}

// One page of events first .. last (excluded).
std::expected<PageBody, std::string_view> page_of(const NestedLists& c, ValueEncoding encoding, DefinitionLevels d,
                                                  std::size_t first, std::size_t last) {
    Runs repetition, definition;
    PageBody page;
    page.events = static_cast<std::int64_t>(last - first);
    for (std::size_t e = first; e < last; ++e) {
        const std::int64_t begin = c.outer[e], end = c.outer[e + 1];
        if (begin == end) {
            repetition.add(0, 1);
            definition.add(d.no_lists, 1);
            ++page.levels;
        }
        for (std::int64_t l = begin; l < end; ++l) {
            const std::int64_t n = c.inner[static_cast<std::size_t>(l) + 1] - c.inner[static_cast<std::size_t>(l)];
            const std::int64_t levels = std::max<std::int64_t>(n, 1);  // an empty list takes one
            repetition.add(l == begin ? 0 : 1, 1);
            repetition.add(2, levels - 1);
            definition.add(n == 0 ? d.empty_list : d.value, levels);
            page.levels += levels;
        }
    }
    const std::int64_t from = c.inner[static_cast<std::size_t>(c.outer[first])];
    const std::int64_t to = c.inner[static_cast<std::size_t>(c.outer[last])];
    if (page.levels > kMaxPageField || to - from > kMaxPageField / static_cast<std::int64_t>(kEncodedWidth))
        return std::unexpected("an event has too many values for a page");
    repetition.write_to(page.bytes);
    definition.write_to(page.bytes);
    append_values(c, encoding, from, to, page.bytes);
    if (page.bytes.size() > static_cast<std::size_t>(kMaxPageField))
        return std::unexpected("an event has too many values for a page");
    return page;
}

}  // namespace

std::expected<std::vector<PageBody>, std::string_view> encode_pages(const NestedLists& column, ValueEncoding encoding,
                                                                    DefinitionLevels levels, std::size_t page_bytes) {
    if (auto valid = check(column, encoding); !valid) return std::unexpected(valid.error());
    std::vector<PageBody> pages;
    const std::size_t events = column.outer.size() - 1;
    const auto value_at = [&](std::size_t e) { return column.inner[static_cast<std::size_t>(column.outer[e])]; };
    std::size_t first = 0;
    for (std::size_t e = 0; e < events; ++e) {
        const auto bytes = static_cast<std::size_t>(value_at(e + 1) - value_at(first)) * kEncodedWidth;
        if (bytes < page_bytes && e + 1 < events) continue;
        auto page = page_of(column, encoding, levels, first, e + 1);
        if (!page) return std::unexpected(page.error());
        pages.push_back(std::move(*page));
        first = e + 1;
    }
    return pages;
}

}  // namespace vintrel::parquet
