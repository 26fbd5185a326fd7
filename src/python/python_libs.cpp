#include "python/python_libs.hpp"

namespace vintrel::py {
namespace {

PyObject* cached_attribute(PyObject*& slot, const char* module, const char* attribute) {
    if (slot == nullptr) {
        OwnedRef mod(PyImport_ImportModule(module));
        if (!mod) return nullptr;
        slot = PyObject_GetAttrString(mod.get(), attribute);  // kept for the process
    }
    return slot;
}

}  // namespace

PyObject* yaml_safe_load() {
    static PyObject* YAML_SAFE_LOAD = nullptr;
    return cached_attribute(YAML_SAFE_LOAD, "yaml", "safe_load");
}
PyObject* gzip_decompress() {
    static PyObject* GZIP_DECOMPRESS = nullptr;
    return cached_attribute(GZIP_DECOMPRESS, "gzip", "decompress");
}
PyObject* side_file_loads() {
    static PyObject* SIDE_FILE_LOADS = nullptr;
    return cached_attribute(SIDE_FILE_LOADS, "vintrel._safe_pickle", "loads");
}
PyObject* event_arrays_from_buffers() {
    static PyObject* FROM_BUFFERS = nullptr;
    return cached_attribute(FROM_BUFFERS, "vintrel._columnar", "_from_buffers");
}

}  // namespace vintrel::py
