// Fuzzes GrowingBuffer, the storage of the column arrays, with a sequence of
// operations read from the input: extend by n bytes (filled with a pattern),
// reserve n, shrink to fit, move the buffer out and back, or join a part of
// n bytes filled on its own (placed with reserve_after, then appended by
// taking its pages over, or copied as the join of runs does when that is
// refused). After every step the buffer must hold exactly what a std::vector
// given the same operations holds. Sizes span the heap, the move to a
// mapping at kMapFrom, and mappings shrunk below that and grown again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "columnar/growing_buffer.hpp"
#include "fuzz_input.hpp"

namespace {

using vintrel::columnar::GrowingBuffer;

// Largest step: a few times the heap-to-mapping threshold.
constexpr std::uint64_t kMaxStep = 4 * GrowingBuffer::kMapFrom;

void check(const GrowingBuffer& buffer, const std::vector<std::byte>& model) {
    if (buffer.size() != model.size()) std::abort();
    if (!model.empty() && std::memcmp(buffer.data(), model.data(), model.size()) != 0) std::abort();
}

// Appends n pattern bytes to `buffer` and to the model.
void fill(GrowingBuffer& buffer, std::uint64_t n, std::vector<std::byte>& model, std::uint8_t& pattern) {
    std::byte* at = buffer.extend(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        at[i] = std::byte{pattern};
        model.push_back(std::byte{pattern});
        pattern = static_cast<std::uint8_t>(pattern * 31 + 7);
    }
}

// A part of n bytes filled apart and joined to `buffer`, as runs read side
// by side are joined: by its pages when it can be, else by a copy. A buffer
// that took pages over spans several mappings and cannot move: growing it
// past its room later throws bad_alloc, which ends the input.
void join(GrowingBuffer& buffer, std::uint64_t n, std::vector<std::byte>& model, std::uint8_t& pattern) {
    GrowingBuffer part;
    part.reserve_after(buffer.size(), n);
    std::vector<std::byte> added;
    fill(part, n, added, pattern);
    check(part, added);
    if (!buffer.reserve_to_join(buffer.size() + n) || !buffer.append_pages(part)) {
        check(part, added);  // refused: the part is unchanged, and copied
        if (n != 0) std::memcpy(buffer.extend(n), part.data(), n);
    }
    model.insert(model.end(), added.begin(), added.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vintrel::fuzz::Input input(data, size);
    GrowingBuffer buffer;
    std::vector<std::byte> model;
    std::uint8_t pattern = 0;
    for (int steps = 0; steps < 64 && !input.rest().empty(); ++steps) {
        const std::uint8_t op = input.byte() % 5;
        const std::uint64_t n = input.number() % (kMaxStep + 1);
        try {
            switch (op) {
                case 0: fill(buffer, n, model, pattern); break;
                case 1: buffer.reserve(n); break;
                case 2: buffer.shrink_to_fit(); break;
                case 3: {
                    GrowingBuffer moved(std::move(buffer));
                    check(buffer, {});
                    buffer = std::move(moved);
                    break;
                }
                default: join(buffer, n, model, pattern);
            }
        } catch (const std::bad_alloc&) {
            return 0;  // the fuzzer's memory limit: nothing to compare
        }
        check(buffer, model);
    }
    return 0;
}
