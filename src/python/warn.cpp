#include "python/warn.hpp"

namespace vintrel::py {

bool warn_caller(PyObject* category, PyObject* message) {
    // The interpreter makes the caller's frame object to find the warning's
    // file and line; if that fails for want of memory, some versions go on
    // with a file name they did not check and crash. The frame object is
    // made here first: without it the warning names "sys", line 1, as the
    // interpreter itself does for a call from outside Python code.
    if (PyEval_GetFrame() != nullptr) return PyErr_WarnFormat(category, 1, "%U", message) == 0;
    OwnedRef file(PyUnicode_FromString("sys"));
    if (!file) return false;
    return PyErr_WarnExplicitObject(category, message, file.get(), 1, nullptr, nullptr) == 0;
}

bool warn_caller(PyObject* category, const char* message) {
    OwnedRef text(PyUnicode_FromString(message));
    return text && warn_caller(category, text.get());
}

}  // namespace vintrel::py
