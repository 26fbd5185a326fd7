// The Python class "Acquisition" (native type PyAcquisition) and the
// iterator class "IterEvents".
#pragma once

#include "python/ref.hpp"

#include <new>
#include <string>

#include "acquisition/acquisition.hpp"

namespace vintrel::py {

struct PyAcquisition {
    PyObject_HEAD
    PyObject* metadata;  // result of yaml.safe_load at construction
    struct State {
        Acquisition acquisition;
        Params params;
    };
    alignas(State) unsigned char storage[sizeof(State)];
    bool constructed;

    State& state() { return *std::launder(reinterpret_cast<State*>(storage)); }
};

// The object behind `self`, an Acquisition object, once it holds its native
// state and metadata. One that does not (made by tp_alloc alone, or emptied
// by the garbage collector's clear) throws Panic: it is never used.
PyAcquisition& live_acquisition(PyObject* self);

// The type object, created on first use (nullptr with an exception set on failure).
PyTypeObject* acquisition_type();
bool is_acquisition_object(PyObject* obj);

// Builds an Acquisition object from a path: opens it, reads metadata.yml
// through yaml.safe_load and natively.
PyObject* new_acquisition(const std::string& path);

// Module functions.
PyObject* is_acquisition_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* list_acquisitions_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Acquisition.arrays(indices=None, *, pedestals_correction=False).
PyObject* acquisition_arrays(PyObject* self, PyObject* args, PyObject* kwargs);

// The acquisition[index_or_slice] algorithm, shared with IterEvents.
PyObject* acquisition_subscript(PyObject* self, PyObject* index_or_slice);

// with-statement support, repr() and _repr_html_() (acquisition_session.cpp).
PyObject* acquisition_enter(PyObject* self, PyObject*);
PyObject* acquisition_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* acquisition_repr(PyObject* self);
PyObject* acquisition_repr_html(PyObject* self, PyObject*);

// A new IterEvents over `acq` (an Acquisition object), starting at index 0.
PyObject* new_iter_events(PyObject* acq);

}  // namespace vintrel::py
