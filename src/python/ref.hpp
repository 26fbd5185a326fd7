// Small RAII layer over the CPython C API: owned references and a guard that
// releases the interpreter lock for a scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <utility>

namespace vintrel::py {

// Owns one strong reference (or none).
class OwnedRef {
public:
    OwnedRef() = default;
    explicit OwnedRef(PyObject* owned) : obj_(owned) {}
    static OwnedRef borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return OwnedRef(borrowed);
    }
    ~OwnedRef() { Py_XDECREF(obj_); }
    OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }

private:
    PyObject* obj_ = nullptr;
};

// Pauses the cyclic garbage collector for its lifetime. Event dictionaries
// are trees of lists of numbers, which can hold no cycles, yet building many
// of them triggers collections that traverse every container alive (the
// result list of a slice included). The previous state is restored.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

// Releases the interpreter lock for its lifetime. Code inside must not touch
// any Python object.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace vintrel::py

namespace vintrel::py {

// A heap type from `type_spec`, whose name is "vintrel.<Name>": __module__ becomes
// "vintrel" and the type's own name is the bare <Name>, without the prefix.
inline PyObject* new_type(PyType_Spec* type_spec) {
    PyObject* type = PyType_FromSpec(type_spec);
    if (type == nullptr) return nullptr;
    const char* dot = std::strrchr(type_spec->name, '.');
    reinterpret_cast<PyTypeObject*>(type)->tp_name = dot ? dot + 1 : type_spec->name;
    return type;
}

}  // namespace vintrel::py
