#include "python/args.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vintrel::py {
namespace {

// Whether the keyword `key` (a str) is exactly `name` (ASCII), embedded NULs
// included. Reads the characters in place: nothing to allocate, nothing to fail.
bool same_name(PyObject* key, const char* name) {
    const std::size_t length = std::strlen(name);
    if (static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) != length) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (PyUnicode_READ_CHAR(key, static_cast<Py_ssize_t>(i)) != static_cast<unsigned char>(name[i]))
            return false;
    return true;
}

// The text of a Path argument as os.fspath gives it (the object's own
// __fspath__), as str or bytes. Called directly rather than through
// PyOS_FSPath, which reports a failed lookup (out of memory) as a TypeError.
OwnedRef fspath_of_path(PyObject* value, const char* name) {
    OwnedRef text(PyObject_CallMethod(value, "__fspath__", nullptr));
    if (!text) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error(name);
        return text;
    }
    if (!PyUnicode_Check(text.get()) && !PyBytes_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected %s.__fspath__() to return str or bytes, not %s", name,
                     Py_TYPE(value)->tp_name, Py_TYPE(text.get())->tp_name);
        return {};
    }
    return text;
}

// Whether the value is an os.PathLike: its type has a __fspath__ that is not
// None (pathlib.Path, os.DirEntry, anything implementing the protocol), the
// test os.fspath makes. -1 with an exception set when the look-up fails.
int is_path_like(PyObject* value) {
    OwnedRef method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__fspath__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return method.get() != Py_None ? 1 : 0;
}

}  // namespace

bool bind_args_impl(const char* function, const char* const* names, std::size_t n, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (static_cast<std::size_t>(nargs) > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given", function, n,
                     n == 1 ? "" : "s", nargs);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = n;
        for (std::size_t i = 0; i < n; ++i)
            if (same_name(key, names[i])) slot = i;
        if (slot == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            return false;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[slot]);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, names[i]);
            return false;
        }
    }
    return true;
}

void name_type_error(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    OwnedRef t(type), v(value), tb(traceback);
    OwnedRef text(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

std::optional<std::string> path_arg(PyObject* value, const char* name) {
    OwnedRef text;
    if (PyUnicode_Check(value)) {
        text = OwnedRef::borrow(value);
    } else {
        int is_path = is_path_like(value);
        if (is_path < 0) return std::nullopt;
        if (is_path == 0) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected str or os.PathLike, not %s", name,
                         Py_TYPE(value)->tp_name);
            return std::nullopt;
        }
        text = fspath_of_path(value, name);
        if (!text) return std::nullopt;
    }
    // __fspath__ may give bytes: those are the path as the OS sees it already.
    OwnedRef encoded = PyUnicode_Check(text.get()) ? OwnedRef(PyUnicode_EncodeFSDefault(text.get())) : std::move(text);
    if (!encoded) return std::nullopt;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return std::nullopt;
    if (std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr) {
        PyErr_Format(PyExc_ValueError, "argument '%s': embedded null byte", name);
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

OwnedRef sequence_snapshot(PyObject* value, const char* message) {
    OwnedRef items(PySequence_Fast(value, message));
    // A list the caller holds can change under us; one made from another
    // sequence (or a tuple) cannot.
    if (items && items.get() == value && PyList_Check(value)) items = OwnedRef(PyList_AsTuple(value));
    return items;
}

namespace {

enum class Conversion { Done, NotApplicable, Failed };

// The elements of a range whose bounds fit a long long, into `out`; any other
// range is NotApplicable (the caller converts it element by element). The
// first negative element fails with the OverflowError of its own conversion.
Conversion range_indices(PyObject* range, const char* name, std::vector<std::uint64_t>& out) {
    long long bounds[2];
    const char* attributes[2] = {"start", "step"};
    for (int i = 0; i < 2; ++i) {
        OwnedRef bound(PyObject_GetAttrString(range, attributes[i]));
        if (!bound) return Conversion::Failed;
        int overflow = 0;
        bounds[i] = PyLong_AsLongLongAndOverflow(bound.get(), &overflow);
        if (bounds[i] == -1 && PyErr_Occurred()) return Conversion::Failed;
        if (overflow != 0) return Conversion::NotApplicable;
    }
    const Py_ssize_t count = PyObject_Length(range);
    if (count < 0) return Conversion::Failed;
    const auto [start, step] = bounds;
    // Elements run from start to the last one: when both fit, all do.
    long long last = 0;
    if (count > 0 && (__builtin_mul_overflow(static_cast<long long>(count - 1), step, &last) ||
                      __builtin_add_overflow(start, last, &last)))
        return Conversion::NotApplicable;
    out.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const long long element = start + static_cast<long long>(i) * step;
        if (element < 0) {
            OwnedRef number(PyLong_FromLongLong(element));
            if (number) u64_arg(number.get(), name);
            return Conversion::Failed;
        }
        out.push_back(static_cast<std::uint64_t>(element));
    }
    return Conversion::Done;
}

std::optional<std::vector<std::uint64_t>> index_list(PyObject* value, const char* name, bool any_iterable) {
    if (PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
        return std::nullopt;
    }
    std::vector<std::uint64_t> out;
    if (PyRange_Check(value)) {
        const Conversion done = range_indices(value, name, out);
        if (done == Conversion::Done) return out;
        if (done == Conversion::Failed) return std::nullopt;
    }
    if (!any_iterable && !PySequence_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not a sequence", name, Py_TYPE(value)->tp_name);
        return std::nullopt;
    }
    // The message for a value that cannot be iterated at all.
    const std::string refused = std::string("argument '") + name + "': " +
                                (any_iterable ? std::string("'") + Py_TYPE(value)->tp_name + "' object is not iterable"
                                              : std::string("expected a sequence"));
    OwnedRef items(sequence_snapshot(value, refused.c_str()));
    if (!items) return std::nullopt;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    PyObject** elements = PySequence_Fast_ITEMS(items.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto index = u64_arg(elements[i], name);
        if (!index) return std::nullopt;
        out.push_back(*index);
    }
    return out;
}

}  // namespace

std::optional<std::vector<std::uint64_t>> index_sequence_arg(PyObject* value, const char* name) {
    return index_list(value, name, false);
}

std::optional<std::vector<std::uint64_t>> index_iterable_arg(PyObject* value, const char* name) {
    return index_list(value, name, true);
}

std::optional<std::vector<std::uint64_t>> slice_indices(PyObject* slice, std::uint64_t length) {
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(slice, &start, &stop, &step) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return std::nullopt;
    }
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "event count does not fit a signed 64-bit integer");
        return std::nullopt;
    }
    const Py_ssize_t count = PySlice_AdjustIndices(static_cast<Py_ssize_t>(length), &start, &stop, step);
    if (start < 0 || stop < 0 || step < 0) {
        PyErr_SetString(PyExc_IndexError, "index out of bounds");
        return std::nullopt;
    }
    std::vector<std::uint64_t> out;
    out.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) out.push_back(static_cast<std::uint64_t>(start + i * step));
    return out;
}

std::optional<bool> flag_arg(PyObject* value, const char* name) {
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, not %s", name, Py_TYPE(value)->tp_name);
        return std::nullopt;
    }
    return value == Py_True;
}

std::optional<std::uint64_t> u64_arg(PyObject* value, const char* name) {
    OwnedRef number(PyNumber_Index(value));
    if (!number) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error(name);
        return std::nullopt;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(number.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(v);
}

}  // namespace vintrel::py
