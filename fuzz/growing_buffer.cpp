// Fuzzes GrowingBuffer, the storage of the column arrays, with a sequence of
// operations read from the input: extend by n bytes (filled with a pattern),
// reserve n, shrink to fit, or move the buffer out and back. After every
// step the buffer must hold exactly what a std::vector given the same
// operations holds. Sizes span the heap, the move to a mapping at kMapFrom,
// and mappings shrunk below that and grown again.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vintrel::fuzz::Input input(data, size);
    GrowingBuffer buffer;
    std::vector<std::byte> model;
    std::uint8_t fill = 0;
    for (int steps = 0; steps < 64 && !input.rest().empty(); ++steps) {
        const std::uint8_t op = input.byte() % 4;
        const std::uint64_t n = input.number() % (kMaxStep + 1);
        try {
            switch (op) {
                case 0: {
                    std::byte* at = buffer.extend(n);
                    for (std::uint64_t i = 0; i < n; ++i) {
                        at[i] = std::byte{fill};
                        model.push_back(std::byte{fill});
                        fill = static_cast<std::uint8_t>(fill * 31 + 7);
                    }
                    break;
                }
                case 1: buffer.reserve(n); break;
                case 2: buffer.shrink_to_fit(); break;
                default: {
                    GrowingBuffer moved(std::move(buffer));
                    check(buffer, {});
                    buffer = std::move(moved);
                }
            }
        } catch (const std::bad_alloc&) {
            return 0;  // the fuzzer's memory limit: nothing to compare
        }
        check(buffer, model);
    }
    return 0;
}
