// export_csv: not built yet.
#include "python/functions.hpp"

namespace vintrel::py {

PyObject* export_csv_function(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "export_csv is not built yet");
    return nullptr;
}

}  // namespace vintrel::py
