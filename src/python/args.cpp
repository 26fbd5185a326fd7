#include "python/args.hpp"

#include <cstring>

#include "python/python_libs.hpp"

namespace vintrel::py {

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
        const char* key_text = PyUnicode_AsUTF8(key);
        if (key_text == nullptr) return false;
        std::size_t slot = n;
        for (std::size_t i = 0; i < n; ++i)
            if (std::strcmp(names[i], key_text) == 0) slot = i;
        if (slot == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function, key_text);
            return false;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, key_text);
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
        text = OwnedRef(PyObject_Str(value));
        if (!text) return std::nullopt;
    }
    OwnedRef encoded(PyUnicode_EncodeFSDefault(text.get()));
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
