// The ostra96 code functions: not built yet.
#include "python/functions.hpp"

namespace vintrel::py {
namespace {
PyObject* not_built() {
    PyErr_SetString(PyExc_NotImplementedError, "the ostra96 code functions are not built yet");
    return nullptr;
}
}  // namespace

PyObject* syndrome_function(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_built(); }
PyObject* global_parity_function(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_built(); }
PyObject* syndrome_to_index_function(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_built(); }
PyObject* ecc_check_function(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_built(); }
PyObject* ecc_correct_function(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_built(); }

}  // namespace vintrel::py
