// Compile-time proof of the code's properties: every single flipped bit of
// 0..13 is named by its syndrome and has odd parity; every double flip within
// 0..13 is detected with even parity and never mistaken for a single error.
#include "ecc/ostra96.hpp"

namespace vintrel::ecc {
namespace {

constexpr bool single_flips_named() {
    for (unsigned bit = 0; bit < 14; ++bit) {
        const auto word = static_cast<std::uint16_t>(1u << bit);
        auto check = check_word(word);
        if (!check || check->bit != bit || check->correctable != 1 || check->corrected != 0) return false;
    }
    return true;
}

constexpr bool double_flips_detected() {
    for (unsigned a = 0; a < 14; ++a)
        for (unsigned b = a + 1; b < 14; ++b) {
            const auto word = static_cast<std::uint16_t>(1u << a | 1u << b);
            auto check = check_word(word);
            if (!check || syndrome_value(word) == 0 || check->correctable != 0 || check->corrected != word) return false;
        }
    return true;
}

static_assert(single_flips_named());
static_assert(double_flips_detected());
static_assert(!check_word(0x0000));
static_assert(check_word(0x4000)->corrected == 0xC000 && check_word(0x8000)->corrected == 0x0000);

}  // namespace
}  // namespace vintrel::ecc
