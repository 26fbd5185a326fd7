// Acquisition as a context manager, and how it shows itself: repr() and the
// HTML table of notebooks, both written in the package (vintrel._display).
#include "python/acquisition_type.hpp"
#include "python/errors.hpp"
#include "python/package_methods.hpp"

namespace vintrel::py {

PyObject* acquisition_enter(PyObject* self, PyObject*) {
    return guarded([&] {
        live_acquisition(self);
        return OwnedRef::borrow(self).release();
    });
}

// Releases what the object remembers between calls (the chunk list of its
// last scan); the object stays usable and later calls scan again. Exceptions
// of the with-block pass on.
PyObject* acquisition_exit(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs > 3) {
            PyErr_Format(PyExc_TypeError, "__exit__() takes at most 3 arguments (%zd given)", nargs);
            return nullptr;
        }
        live_acquisition(self).state().acquisition.chunk_cache().forget();
        Py_RETURN_FALSE;
    });
}

// repr() never fails for an ordinary reason: should the package's function
// be unavailable, the type and path are shown.
PyObject* acquisition_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        OwnedRef text(call_package_function("vintrel._display", "acquisition_repr", self, nullptr, 0, nullptr));
        if (text || !pending_error_is_ordinary()) return text.release();
        PyErr_Clear();
        const std::string& path = live_acquisition(self).state().acquisition.path();
        OwnedRef decoded(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
        if (!decoded) return nullptr;
        return PyUnicode_FromFormat("<vintrel.Acquisition at %R>", decoded.get());
    });
}

PyObject* acquisition_repr_html(PyObject* self, PyObject*) {
    return guarded(
        [&] { return call_package_function("vintrel._display", "acquisition_html", self, nullptr, 0, nullptr); });
}

}  // namespace vintrel::py
