#include "python/args.hpp"

#include <cstring>
#include <utility>

#include "python/python_libs.hpp"

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

}  // namespace

bool bind_args_impl(const char* function, const char* const* names, std::size_t n, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (static_cast<std::size_t>(nargs) > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", function, n, nargs);
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
        PyObject* path_type = pathlib_path_type();
        if (path_type == nullptr) return std::nullopt;
        int is_path = PyObject_IsInstance(value, path_type);
        if (is_path < 0) return std::nullopt;
        if (is_path == 0) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected str or pathlib.Path, not %s", name,
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

PyObject* path_to_str(const std::string& path) {
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

}  // namespace vintrel::py
