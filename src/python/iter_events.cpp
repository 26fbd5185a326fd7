// IterEvents: walks an Acquisition object by index. It has no finished
// state: it ends whenever the event at `index` cannot be fetched or parsed,
// and tries the same index again on the next call. Ending at an event that
// exists (below the event count) loses the rest of the run, so that end is
// announced with a RuntimeWarning; ending past the last event is silent.
#include <array>
#include <cstdint>

#include "python/acquisition_type.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/warn.hpp"

namespace vintrel::py {
namespace {

struct PyIterEvents {
    PyObject_HEAD
    PyObject* acq;
    std::uint64_t index;
    bool busy;
};

PyIterEvents* as_iter(PyObject* self) { return reinterpret_cast<PyIterEvents*>(self); }

PyTypeObject* iter_events_type();

int it_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_iter(self)->acq);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int it_clear(PyObject* self) {
    Py_CLEAR(as_iter(self)->acq);
    return 0;
}

void it_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    it_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* it_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"acq", nullptr};
        PyObject* acq = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:IterEvents", const_cast<char**>(kwlist), &acq))
            return nullptr;
        if (!is_acquisition_object(acq)) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "argument 'acq': '%s' object is not an instance of 'Acquisition'",
                             Py_TYPE(acq)->tp_name);
            return nullptr;
        }
        return new_iter_events(acq);
    });
}

// Whether the pending exception is the system refusing to open a chunk file
// (an OSError carrying errno: no descriptor left, no permission). That is no
// end of the events, so iteration passes it on, as iter(acq) does at the start.
bool pending_error_is_refused_open() {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const bool has_errno = value != nullptr && reinterpret_cast<PyOSErrorObject*>(value)->myerrno != nullptr &&
                           reinterpret_cast<PyOSErrorObject*>(value)->myerrno != Py_None;
    PyErr_Restore(type, value, traceback);
    return has_errno;
}

// The name of an exception type as tracebacks show it: "IndexError",
// "acquisition.ParsingError".
OwnedRef exception_type_name(PyObject* type) {
    if (type == nullptr || !PyType_Check(type)) return OwnedRef(PyUnicode_FromString("error"));
    OwnedRef name(PyObject_GetAttrString(type, "__qualname__"));
    OwnedRef module(name ? PyObject_GetAttrString(type, "__module__") : nullptr);
    if (!name || !module) return {};
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0) return name;
    return OwnedRef(PyUnicode_FromFormat("%U.%S", module.get(), name.get()));
}

// Warns that iteration stopped at event `index` of `acq`, which exists, with
// the pending exception (what acq[index] raised) as the reason; the
// exception is consumed. False when the warning is raised as an error.
bool warn_stopped_at(PyObject* acq, std::uint64_t index) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (PyErr_GivenExceptionMatches(type, PyExc_MemoryError)) {  // the reason could not be made
        PyErr_Restore(type, value, traceback);
        return false;
    }
    OwnedRef error_type(type), error(value), error_traceback(traceback);
    auto count = live_acquisition(acq).state().acquisition.len();
    if (!count || index >= *count) return true;  // the end of the events, or of the chunks that open
    OwnedRef reason(error ? PyObject_Str(error.get()) : nullptr);
    if (!reason) {  // an exception whose str() fails is named by its type alone
        if (PyErr_Occurred() && !pending_error_is_ordinary()) return false;
        PyErr_Clear();
        reason = OwnedRef(PyUnicode_FromString(""));
        if (!reason) return false;
    }
    OwnedRef type_name = exception_type_name(error_type.get());
    if (!type_name) return false;
    OwnedRef message(PyUnicode_FromFormat(
        "iteration stopped at event %llu of %llu, which cannot be read or parsed: %U: %U",
        static_cast<unsigned long long>(index), static_cast<unsigned long long>(*count), type_name.get(),
        reason.get()));
    return message && warn_caller(PyExc_RuntimeWarning, message.get());
}

PyObject* it_iter(PyObject* self) {
    Py_INCREF(self);
    return self;
}

PyObject* it_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyIterEvents* it = as_iter(self);
        if (it->acq == nullptr) throw Panic{"IterEvents object was not initialised"};
        if (it->busy) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return nullptr;
        }
        it->busy = true;
        OwnedRef index(PyLong_FromUnsignedLongLong(it->index));
        OwnedRef event(index ? acquisition_subscript(it->acq, index.get()) : nullptr);
        it->busy = false;
        if (!event) {
            if (!pending_error_is_ordinary() || pending_error_is_refused_open()) return nullptr;
            // An event that cannot be read or parsed ends the iteration; the index stays.
            warn_stopped_at(it->acq, it->index);
            return nullptr;
        }
        ++it->index;
        return event.release();
    });
}

PyType_Slot it_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over events in an acquisition")},
    {Py_tp_new, reinterpret_cast<void*>(it_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(it_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(it_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(it_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(it_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(it_next)},
    {0, nullptr},
};

PyType_Spec it_spec = {"vintrel.IterEvents", sizeof(PyIterEvents), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, it_slots};

PyTypeObject* iter_events_type() {
    static PyObject* type = nullptr;  // created on first use, kept for the process
    if (type == nullptr) type = new_type(&it_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyObject* new_iter_events(PyObject* acq) {
    PyTypeObject* type = iter_events_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    Py_INCREF(acq);
    as_iter(self)->acq = acq;
    as_iter(self)->index = 0;
    as_iter(self)->busy = false;
    return self;
}

}  // namespace vintrel::py
