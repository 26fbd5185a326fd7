// Fuzzes the ostra96 block check. The first number of the input picks the
// block length (up to past seven chips, so refused sizes are met too); the
// rest of the input, repeated, fills the block. Each accepted block is
// checked again word by word on this thread, and corrected: the parallel
// result must equal the serial one, and a corrected block may only keep
// the uncorrectable words. The portable word-scanning kernel must find the
// same words as the vector kernel the CPU runs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ecc/block_check.hpp"
#include "ecc/ostra96.hpp"
#include "ecc/word_scan.hpp"
#include "fuzz_input.hpp"

namespace {

using namespace vintrel::ecc;

std::vector<CheckRecord> serial_check(const std::vector<std::uint8_t>& block) {
    std::vector<CheckRecord> out;
    const std::size_t channels = chip_count(block.size()) * kChannelsPerChip;
    for (std::size_t i = 0; i < channels; ++i) {
        const ChannelRange range = channel_offsets()[i];
        for (std::size_t j = 0; j + 2 <= range.end - range.start; j += 2) {
            const std::size_t at = range.start + j;
            const auto word = static_cast<std::uint16_t>(block[at] | block[at + 1] << 8);
            if (auto c = check_word(word)) out.push_back({j, at, c->word, c->corrected, c->bit, c->correctable});
        }
    }
    return out;
}

bool same(const std::vector<CheckRecord>& a, const std::vector<CheckRecord>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].offset != b[i].offset || a[i].position != b[i].position || a[i].word != b[i].word ||
            a[i].corrected != b[i].corrected || a[i].bit != b[i].bit || a[i].correctable != b[i].correctable)
            return false;
    }
    return true;
}

bool kernels_agree(const std::vector<std::uint8_t>& block) {
    const std::size_t channels = chip_count(block.size()) * kChannelsPerChip;
    std::vector<std::uint16_t> fast(kRegionWords), portable(kRegionWords);
    for (std::size_t i = 0; i < channels; ++i) {
        const std::uint8_t* region = block.data() + channel_offsets()[i].start;
        const std::size_t n = find_failing_words(region, fast.data());
        if (n != find_failing_words_portable(region, portable.data())) return false;
        if (!std::equal(fast.begin(), fast.begin() + static_cast<std::ptrdiff_t>(n), portable.begin())) return false;
    }
    return true;
}

bool layout_fits(std::size_t size) {
    if (size < kBlockFooterBytes) return false;
    const std::size_t chips = chip_count(size);
    if (chips > kChipsMax) return false;
    return chips == 0 || channel_offsets()[chips * kChannelsPerChip - 1].end <= size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vintrel::fuzz::Input in(data, size);
    const std::size_t length = in.number() % (7 * kChipBytes + 4);
    const auto fill = in.rest();
    std::vector<std::uint8_t> block(length);
    for (std::size_t i = 0; i < length && !fill.empty(); ++i) block[i] = fill[i % fill.size()];

    auto records = ecc_check_block(block);
    if (!records) {
        if (records.error() != BlockError::OutOfMemory && layout_fits(length)) std::abort();  // refused a sound block
        return 0;
    }
    if (!layout_fits(length)) std::abort();  // accepted a block its regions overrun
    if (!same(*records, serial_check(block))) std::abort();
    if (!kernels_agree(block)) std::abort();

    apply_corrections(block, *records);
    for (const CheckRecord& r : serial_check(block))
        if (r.correctable) std::abort();  // a correctable word survived correction
    return 0;
}
