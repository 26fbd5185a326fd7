// Methods of the native types that are written in Python: the method passes
// its object and arguments on to a function of the vintrel package (imported
// on each call, which after the first is a look-up in sys.modules). Batching
// and following are such methods: they orchestrate calls that do their heavy
// work natively, with the interpreter lock released.
#pragma once

#include "python/ref.hpp"

namespace vintrel::py {

// Calls vintrel.<module>.<function>(self, *args, **kwargs) with the vectorcall
// arguments of a METH_FASTCALL | METH_KEYWORDS method; a new reference, or
// nullptr with an exception set.
PyObject* call_package_function(const char* module, const char* function, PyObject* self,
                                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vintrel::py
