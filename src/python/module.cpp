// The entry point of the native module vintrel._vintrel (the package's
// __init__.py re-exports it as vintrel): creates the module once per process
// and registers its class and functions, appending each name to __all__.
#include <atomic>

#include "concurrency/worker_pool.hpp"
#include "python/acquisition_type.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"

namespace vintrel::py {
namespace {

template <auto F>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef module_functions[] = {
    {"list_acquisitions", fastcall<list_acquisitions_function>(), kFastcall,
     "list_acquisitions(root_dir)\n--\n\nList all acquisitions in a directory."},
    {"is_acquisition", fastcall<is_acquisition_function>(), kFastcall,
     "is_acquisition(path)\n--\n\nCheck if a folder is a valid acquisition."},
    {"export_csv", fastcall<export_csv_function>(), kFastcall,
     "export_csv(acq, indices, out_dir, pedestals_correction)\n--\n\n"},
    {"syndrome", fastcall<syndrome_function>(), kFastcall,
     "syndrome(data)\n--\n\nCalculate the syndrome for a given 16-bit data word.\n\n"
     "# Arguments\n\n* `data` - The 16-bit data word.\n\n"
     "# Returns\n\nA list of four syndrome bits [s0, s1, s2, s3], each 0 or 1."},
    {"global_parity", fastcall<global_parity_function>(), kFastcall,
     "global_parity(data)\n--\n\nCalculate the global parity for a 16-bit data word.\n\n"
     "# Arguments\n\n* `data` - The 16-bit data word.\n\n"
     "# Returns\n\nThe XOR of all 16 bits of the word: 0 or 1."},
    {"syndrome_to_index", fastcall<syndrome_to_index_function>(), kFastcall,
     "syndrome_to_index(s)\n--\n\nConvert a syndrome to an index based on the corrections.\n\n"
     "# Arguments\n\n* `s` - The four syndrome bits [s0, s1, s2, s3]."},
    {"ecc_check", fastcall<ecc_check_function>(), kFastcall, "ecc_check(raw_bytes)\n--\n\n"},
    {"ecc_correct", fastcall<ecc_correct_function>(), kFastcall, "ecc_correct(raw_bytes)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Helpers of the package's Python modules: attributes of the module, not in __all__.
PyMethodDef private_functions[] = {
    {"_parquet_pages", fastcall<parquet_pages_function>(), kFastcall,
     "_parquet_pages(outer, inner, values, split_floats, levels, page_bytes)\n--\n\n"
     "Parquet data page bodies [(bytes, events, levels), ...] of a list<list<float32 | uint16>> column."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vintrel._vintrel",
    "Registers the Python bindings of the vintrel acquisition library.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> module_created{false};

PyObject* before_fork(PyObject*, PyObject*) {
    return guarded([] {
        concurrency::retire_idle_helpers();
        Py_RETURN_NONE;
    });
}

PyMethodDef before_fork_def = {"_retire_idle_pool", before_fork, METH_NOARGS, nullptr};

// os.fork() then finds an idle worker pool without threads, so Python 3.12+
// has no reason to warn that the process is multi-threaded. Not a module
// attribute: the hook is reachable only through os.
bool register_fork_hook(PyObject* module_name) {
    // The native handlers too, now, while no thread of ours runs: installed
    // lazily, a fork racing the first call in another thread hung the child.
    concurrency::install_fork_handlers();
    OwnedRef hook(PyCFunction_NewEx(&before_fork_def, nullptr, module_name));
    OwnedRef os(PyImport_ImportModule("os"));
    if (!hook || !os) return false;
    OwnedRef register_at_fork(PyObject_GetAttrString(os.get(), "register_at_fork"));
    OwnedRef args(PyTuple_New(0));
    OwnedRef kwargs(Py_BuildValue("{sO}", "before", hook.get()));
    if (!register_at_fork || !args || !kwargs) return false;
    return static_cast<bool>(OwnedRef(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get())));
}

// Sets module.<name> = value and appends name to __all__.
bool add_item(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    OwnedRef owned(value);
    if (!owned) return false;
    OwnedRef key(PyUnicode_FromString(name));
    if (!key || PyList_Append(all, key.get()) < 0) return false;
    return PyObject_SetAttr(module, key.get(), owned.get()) == 0;
}

bool register_items(PyObject* module) {
    OwnedRef all(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    auto* type = reinterpret_cast<PyObject*>(acquisition_type());
    if (type == nullptr) return false;
    Py_INCREF(type);
    if (!add_item(module, all.get(), "Acquisition", type)) return false;
    OwnedRef module_name(PyModule_GetNameObject(module));  // each function's __module__
    if (!module_name) return false;
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def)
        if (!add_item(module, all.get(), def->ml_name, PyCFunction_NewEx(def, nullptr, module_name.get())))
            return false;
    if (PyModule_AddFunctions(module, private_functions) < 0) return false;
    return register_fork_hook(module_name.get());
}

PyObject* init_module() {
    OwnedRef module(PyModule_Create2(&module_def, 1013));
    if (!module) return nullptr;
    if (module_created.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        "vintrel may be initialised only once per interpreter process");
        return nullptr;
    }
    if (!register_items(module.get())) return nullptr;
    // Outside __all__, so that callers can catch it and a pickled one can be
    // loaded again by its qualified name vintrel.PanicException.
    if (PyModule_AddObjectRef(module.get(), "PanicException", panic_exception_type()) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace vintrel::py

PyMODINIT_FUNC PyInit__vintrel() {
    return vintrel::py::guarded([] { return vintrel::py::init_module(); });
}
