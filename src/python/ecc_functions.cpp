// The ostra96 code functions: the per-word code (syndrome, overall parity,
// syndrome-to-bit table) and the check and correction of a whole data block.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ecc/block_check.hpp"
#include "ecc/ostra96.hpp"
#include "python/args.hpp"
#include "python/buffer_export.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"

namespace vintrel::py {
namespace {

// An integer in 0..max; TypeError (naming the argument) for non-integers,
// OverflowError outside the range.
std::optional<unsigned long> ranged_int(PyObject* value, const char* name, unsigned long max) {
    OwnedRef number(PyNumber_Index(value));
    if (!number) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error(name);
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow != 0 || v < 0 || static_cast<unsigned long long>(v) > max) {
        PyErr_Format(PyExc_OverflowError, "argument '%s': value must be in 0..%lu", name, max);
        return std::nullopt;
    }
    return static_cast<unsigned long>(v);
}

// Long loops over a caller's items run pending signal handlers this often,
// so that Ctrl-C stops them.
constexpr Py_ssize_t kItemsBetweenSignalChecks = 4096;

// The bytes of a raw_bytes argument: borrowed from a bytes object or from a
// contiguous buffer of unsigned bytes (a bytearray cannot be resized while
// exported, and nothing else runs while the interpreter lock is held), or
// converted item by item from a snapshot of any other sequence.
struct ByteArg {
    std::span<const std::uint8_t> view;
    std::vector<std::uint8_t> owned;
    BufferExport buffer;
};

// Borrows an unsigned-byte buffer; leaves `out` alone for anything else.
void borrow_uint8_buffer(PyObject* value, ByteArg& out) {
    if (!PyObject_CheckBuffer(value)) return;
    auto view = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(value, view.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();  // not contiguous: read it as a sequence instead
        return;
    }
    BufferExport exported(view.release());
    const bool unsigned_bytes =
        exported->itemsize == 1 && (exported->format == nullptr || std::strcmp(exported->format, "B") == 0);
    if (!unsigned_bytes) return;
    out.view = {static_cast<const std::uint8_t*>(exported->buf), static_cast<std::size_t>(exported->len)};
    out.buffer = std::move(exported);
}

std::optional<ByteArg> byte_arg(PyObject* value, const char* name) {
    ByteArg arg;
    if (PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': a str is not a sequence of bytes", name);
        return std::nullopt;
    }
    if (PyBytes_Check(value)) {
        arg.view = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(value))};
        return arg;
    }
    borrow_uint8_buffer(value, arg);
    if (arg.buffer) return arg;
    if (!PySequence_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not a sequence of integers 0..255", name,
                     Py_TYPE(value)->tp_name);
        return std::nullopt;
    }
    OwnedRef items(sequence_snapshot(value, "not a sequence"));
    if (!items) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error(name);
        return std::nullopt;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    arg.owned.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i % kItemsBetweenSignalChecks == 0 && PyErr_CheckSignals() < 0) return std::nullopt;
        auto byte = ranged_int(item[i], name, 255);
        if (!byte) return std::nullopt;
        arg.owned[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(*byte);
    }
    arg.view = arg.owned;
    return arg;
}

PyObject* raise(ecc::BlockError error) {
    if (error == ecc::BlockError::OutOfMemory) return PyErr_NoMemory();
    PyErr_SetString(PyExc_ValueError, std::string(ecc::message(error)).c_str());
    return nullptr;
}

PyObject* record_tuple(const ecc::CheckRecord& r) {
    OwnedRef tuple(PyTuple_New(6));
    if (!tuple) return nullptr;
    PyObject* fields[6] = {PyLong_FromSize_t(r.offset), PyLong_FromSize_t(r.position), PyLong_FromLong(r.word),
                           PyLong_FromLong(r.corrected), PyLong_FromLong(r.bit), PyLong_FromLong(r.correctable)};
    bool ok = true;
    for (int i = 0; i < 6; ++i) {
        if (fields[i] == nullptr) ok = false;
        PyTuple_SET_ITEM(tuple.get(), i, fields[i]);  // a null slot is fine for deallocation
    }
    return ok ? tuple.release() : nullptr;
}

}  // namespace

PyObject* syndrome_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound;
        if (!bind_args("syndrome", std::array{"data"}, args, nargs, kwnames, bound)) return nullptr;
        auto word = ranged_int(bound[0], "data", 0xFFFF);
        if (!word) return nullptr;
        const auto s = ecc::syndrome(static_cast<std::uint16_t>(*word));
        return Py_BuildValue("[iiii]", s[0], s[1], s[2], s[3]);
    });
}

PyObject* global_parity_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound;
        if (!bind_args("global_parity", std::array{"data"}, args, nargs, kwnames, bound)) return nullptr;
        auto word = ranged_int(bound[0], "data", 0xFFFF);
        if (!word) return nullptr;
        return PyLong_FromLong(ecc::global_parity(static_cast<std::uint16_t>(*word)));
    });
}

PyObject* syndrome_to_index_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound;
        if (!bind_args("syndrome_to_index", std::array{"s"}, args, nargs, kwnames, bound)) return nullptr;
        PyObject* s = bound[0];
        if (PyUnicode_Check(s) || !PySequence_Check(s)) {
            PyErr_Format(PyExc_TypeError, "argument 's': expected a sequence of four integers, not %s",
                         Py_TYPE(s)->tp_name);
            return nullptr;
        }
        const Py_ssize_t n = PySequence_Size(s);
        if (n < 0) return nullptr;
        if (n != 4) {
            PyErr_Format(PyExc_ValueError, "argument 's': expected a sequence of length 4 (got %zd)", n);
            return nullptr;
        }
        std::array<std::uint8_t, 4> bits{};
        for (Py_ssize_t i = 0; i < 4; ++i) {
            OwnedRef item(PySequence_GetItem(s, i));
            if (!item) return nullptr;
            auto bit = ranged_int(item.get(), "s", 255);
            if (!bit) return nullptr;
            bits[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(*bit);
        }
        auto index = ecc::syndrome_to_index(ecc::syndrome_from_bits(bits));
        if (!index) Py_RETURN_NONE;
        return PyLong_FromLong(*index);
    });
}

PyObject* ecc_check_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound;
        if (!bind_args("ecc_check", std::array{"raw_bytes"}, args, nargs, kwnames, bound)) return nullptr;
        auto block = byte_arg(bound[0], "raw_bytes");
        if (!block) return nullptr;
        auto records = ecc::ecc_check_block(block->view);
        if (!records) return raise(records.error());
        OwnedRef list(PyList_New(static_cast<Py_ssize_t>(records->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < records->size(); ++i) {
            if (i % kItemsBetweenSignalChecks == 0 && PyErr_CheckSignals() < 0) return nullptr;
            PyObject* tuple = record_tuple((*records)[i]);
            if (tuple == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
        }
        return list.release();
    });
}

PyObject* ecc_correct_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound;
        if (!bind_args("ecc_correct", std::array{"raw_bytes"}, args, nargs, kwnames, bound)) return nullptr;
        auto block = byte_arg(bound[0], "raw_bytes");
        if (!block) return nullptr;
        OwnedRef copy(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(block->view.data()),
                                                    static_cast<Py_ssize_t>(block->view.size())));
        if (!copy) return nullptr;
        std::span<std::uint8_t> bytes{reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(copy.get())),
                                      static_cast<std::size_t>(PyByteArray_GET_SIZE(copy.get()))};
        auto records = ecc::ecc_check_block(bytes);
        if (!records) return raise(records.error());
        ecc::apply_corrections(bytes, *records);
        return copy.release();
    });
}

}  // namespace vintrel::py
