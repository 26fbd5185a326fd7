// The module's functions, each a METH_FASTCALL | METH_KEYWORDS entry point.
#pragma once

#include "python/ref.hpp"

namespace vintrel::py {

#define VINTREL_FASTCALL(name) PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

VINTREL_FASTCALL(export_csv_function);
VINTREL_FASTCALL(syndrome_function);
VINTREL_FASTCALL(global_parity_function);
VINTREL_FASTCALL(syndrome_to_index_function);
VINTREL_FASTCALL(ecc_check_function);
VINTREL_FASTCALL(ecc_correct_function);
// Private to the package (outside __all__).
VINTREL_FASTCALL(parquet_pages_function);

#undef VINTREL_FASTCALL

}  // namespace vintrel::py
