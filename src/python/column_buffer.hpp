// The native objects behind the arrays of vintrel.EventArrays: each owns the
// memory of one column (a GrowingBuffer) and exposes it through the buffer
// protocol as a one-dimensional, writable array of its element type, so
// that numpy views it without a copy (numpy.asarray reads the format). A
// view keeps its object alive; the memory is released with the object, once
// the last view of it is gone. Python code cannot create one.
#pragma once

#include "python/ref.hpp"

#include <cstdint>

#include "columnar/columns.hpp"

namespace vintrel::py {

// A new buffer object that takes over `bytes`, items of `itemsize` bytes in
// the struct module's `format`.
PyObject* new_column_buffer(columnar::GrowingBuffer bytes, const char* format, Py_ssize_t itemsize);

template <class T>
constexpr const char* buffer_format() {
    if constexpr (std::is_same_v<T, float>) return "f";
    else if constexpr (std::is_same_v<T, std::uint16_t>) return "H";
    else if constexpr (std::is_same_v<T, std::uint32_t>) return "I";
    else {
        static_assert(std::is_same_v<T, std::int64_t>);
        return "q";
    }
}

// Moves a column's memory into a new buffer object.
template <class T>
PyObject* column_buffer(columnar::Column<T>& column) {
    return new_column_buffer(column.release(), buffer_format<T>(), sizeof(T));
}

}  // namespace vintrel::py
