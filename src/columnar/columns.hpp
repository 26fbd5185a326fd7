// Typed columns over GrowingBuffer: a flat column of numbers, and a column of
// lists in the Arrow / awkward layout (all values end to end, plus int64
// offsets: list k is values[offsets[k] .. offsets[k + 1]), offsets[0] = 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "columnar/growing_buffer.hpp"

namespace vintrel::columnar {

// a * b, or 0 (no reservation) when that overflows.
inline std::size_t mul_or_zero(std::size_t a, std::size_t b) {
    std::size_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? 0 : product;
}

template <class T>
class Column {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    void push_back(T value) { std::memcpy(bytes_.extend(sizeof(T)), &value, sizeof(T)); }
    void append(std::span<const T> values) {
        if (!values.empty()) std::memcpy(bytes_.extend(values.size_bytes()), values.data(), values.size_bytes());
    }

    // Adds `count` uninitialised values at the end, for the caller to fill
    // (a view valid until the next append).
    std::span<T> extend(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        return {reinterpret_cast<T*>(bytes_.extend(count * sizeof(T))), count};
    }

    // Room for `count` values in all (a hint; see GrowingBuffer::reserve).
    void reserve(std::size_t count) {
        if (count <= SIZE_MAX / sizeof(T)) bytes_.reserve(count * sizeof(T));
    }

    // For columns filled side by side and joined (see GrowingBuffer):
    // reserve(count), placed as after `preceding` values of another column.
    void reserve_after(std::size_t preceding, std::size_t count) {
        if (count <= SIZE_MAX / sizeof(T)) bytes_.reserve_after(mul_or_zero(preceding, sizeof(T)), count * sizeof(T));
    }
    bool reserve_to_join(std::size_t count) {
        return count <= SIZE_MAX / sizeof(T) && bytes_.reserve_to_join(count * sizeof(T));
    }
    bool append_pages(Column& part) { return bytes_.append_pages(part.bytes_); }

    std::size_t size() const { return bytes_.size() / sizeof(T); }

    // The values written so far (a view valid until the next append).
    std::span<const T> values() const { return {reinterpret_cast<const T*>(bytes_.data()), size()}; }

    void shrink_to_fit() { bytes_.shrink_to_fit(); }
    // Hands the memory over, leaving this column empty.
    GrowingBuffer release() { return std::move(bytes_); }

private:
    GrowingBuffer bytes_;
};

template <class T>
struct ListColumn {
    Column<T> values;
    Column<std::int64_t> offsets;

    ListColumn() { offsets.push_back(0); }

    void append(std::span<const T> list) {
        values.append(list);
        offsets.push_back(static_cast<std::int64_t>(values.size()));
    }
    std::size_t lists() const { return offsets.size() - 1; }
    // Room for `list_count` lists of `value_count` values in all (a hint),
    // the values placed as after `preceding_values` of another column.
    void reserve(std::size_t list_count, std::size_t value_count, std::size_t preceding_values = 0) {
        offsets.reserve(list_count + 1);
        values.reserve_after(preceding_values, value_count);
    }
    void shrink_to_fit() {
        values.shrink_to_fit();
        offsets.shrink_to_fit();
    }
};

}  // namespace vintrel::columnar
