#include "python/package_methods.hpp"

#include <vector>

namespace vintrel::py {

PyObject* call_package_function(const char* module, const char* function, PyObject* self,
                                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    OwnedRef mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    OwnedRef callable(PyObject_GetAttrString(mod.get(), function));
    if (!callable) return nullptr;
    // self goes first, then the positional and keyword values as given.
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    std::vector<PyObject*> stack;
    stack.reserve(static_cast<std::size_t>(1 + nargs + keywords));
    stack.push_back(self);
    stack.insert(stack.end(), args, args + nargs + keywords);
    return PyObject_Vectorcall(callable.get(), stack.data(), static_cast<std::size_t>(1 + nargs), kwnames);
}

}  // namespace vintrel::py
