// Reads fuzzer input as a little stream of parameter values followed by a
// payload. Shared by the harnesses that need more than raw bytes.
//
// A number is one tag byte, then:
//   tag < 0xF0        the value is the tag itself (0..239)
//   0xF0 / F1 / F2    a 2-, 4- or 8-byte little-endian value follows
//   0xF3 .. 0xFF      one of the extreme values in kExtremes
// A text is one length byte and that many bytes. Reading past the end
// yields 0 and empty texts, so every input is valid.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vintrel::fuzz {

inline constexpr std::array<std::uint64_t, 13> kExtremes = {
    ~std::uint64_t{0},          std::uint64_t{1} << 63,     (std::uint64_t{1} << 32) + 1,
    std::uint64_t{1} << 32,     (std::uint64_t{1} << 32) - 1, std::uint64_t{1} << 31,
    std::uint64_t{1} << 24,     65537,                       65536,
    65535,                      std::uint64_t{1} << 48,     ~std::uint64_t{0} - 1,
    std::uint64_t{1} << 40,
};

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

    std::uint8_t byte() {
        if (rest_.empty()) return 0;
        std::uint8_t b = rest_.front();
        rest_ = rest_.subspan(1);
        return b;
    }

    std::uint64_t little_endian(std::size_t n) {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t{byte()} << (8 * i);
        return v;
    }

    std::uint64_t number() {
        const std::uint8_t tag = byte();
        if (tag < 0xF0) return tag;
        if (tag == 0xF0) return little_endian(2);
        if (tag == 0xF1) return little_endian(4);
        if (tag == 0xF2) return little_endian(8);
        return kExtremes[tag - 0xF3];
    }

    std::string text() {
        const std::size_t n = std::min<std::size_t>(byte(), rest_.size());
        std::string s(reinterpret_cast<const char*>(rest_.data()), n);
        rest_ = rest_.subspan(n);
        return s;
    }

    std::span<const std::uint8_t> rest() const { return rest_; }

private:
    std::span<const std::uint8_t> rest_;
};

}  // namespace vintrel::fuzz
