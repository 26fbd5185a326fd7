// The module's exception types and the error-value conversions.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "python/errors.hpp"

namespace vintrel::py {
namespace {

// The class of that name in the package's vintrel.errors, where callers
// find it, if that module gives an Exception subclass of the qualified name;
// nullptr otherwise, with an exception set only when it must reach the caller
// (MemoryError, KeyboardInterrupt).
PyObject* package_type(const char* qualified_name) {
    const char* name = std::strrchr(qualified_name, '.') + 1;
    OwnedRef module(PyImport_ImportModule("vintrel.errors"));
    OwnedRef type(module ? PyObject_GetAttrString(module.get(), name) : nullptr);
    if (!type) {
        if (pending_error_is_ordinary()) PyErr_Clear();
        return nullptr;
    }
    auto* exception = reinterpret_cast<PyTypeObject*>(PyExc_Exception);
    if (!PyType_Check(type.get()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()), exception))
        return nullptr;
    OwnedRef module_name(PyObject_GetAttrString(type.get(), "__module__"));
    if (!module_name || !PyUnicode_Check(module_name.get()) ||
        PyUnicode_CompareWithASCIIString(module_name.get(), "acquisition") != 0) {
        if (!module_name && pending_error_is_ordinary()) PyErr_Clear();
        return nullptr;
    }
    return type.release();
}

// Created once under the interpreter lock and kept for the life of the
// process: taken from vintrel.errors (importing it on first use), or made
// here alike when the package cannot give it. A creation that fails (out of
// memory) leaves its MemoryError set and is tried again on the next use,
// rather than ending the process.
PyObject* lazy_type(PyObject*& slot, const char* qualified_name, PyObject* base) {
    if (slot != nullptr) return slot;
    PyObject* type = package_type(qualified_name);  // may let another thread run
    if (type == nullptr && !PyErr_Occurred()) type = PyErr_NewException(qualified_name, base, nullptr);
    if (slot == nullptr) slot = type;  // the first one made is kept
    else Py_XDECREF(type);
    return slot;
}

PyObject* set(PyObject* type, std::string_view message) {
    if (type == nullptr) return nullptr;  // the type could not be made; its error is set
    OwnedRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* set_prefixed(PyObject* type, std::string_view prefix, std::string_view message) {
    std::string text(prefix);
    text.append(message);
    return set(type, text);
}

// The OSError that Python raises for the errno (a subclass such as
// NotADirectoryError where one fits), naming the file.
OwnedRef os_error(int error_number, const std::string& path) {
    OwnedRef name(path.empty() ? OwnedRef::borrow(Py_None) : OwnedRef(PyUnicode_DecodeFSDefault(path.c_str())));
    if (!name) return {};
    return OwnedRef(PyObject_CallFunction(PyExc_OSError, "isO", error_number, std::strerror(error_number), name.get()));
}

// Raises that OSError, as Python's own failed opens do.
PyObject* set_os_error(int error_number, const std::string& path) {
    OwnedRef error = os_error(error_number, path);
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

}  // namespace

PyObject* full_chunk_error_type() {  // GCOVR_EXCL_START: for a writer's error only
    static PyObject* type = nullptr;
    return lazy_type(type, "acquisition.FullChunkError", PyExc_Exception);
}  // GCOVR_EXCL_STOP
PyObject* metadata_error_type() {
    static PyObject* type = nullptr;
    return lazy_type(type, "acquisition.MetadataError", PyExc_Exception);
}
PyObject* parsing_error_type() {
    static PyObject* type = nullptr;
    return lazy_type(type, "acquisition.ParsingError", PyExc_Exception);
}
PyObject* export_error_type() {
    static PyObject* type = nullptr;
    return lazy_type(type, "acquisition.ExportError", PyExc_Exception);
}
PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // a module attribute, made with the module
    if (type == nullptr)
        type = PyErr_NewExceptionWithDoc("vintrel.PanicException",
                                         "A violated internal expectation of the reader. Not a subclass of "
                                         "Exception, so that `except Exception` lets it through.",
                                         PyExc_BaseException, nullptr);
    return type;
}

PyObject* raise(const AcquisitionError& error) {
    // The kinds after TooManyEvents belong to writing acquisitions, which this
    // module does not do, or (NoSuchMiscData) are answered with None before
    // this point; they keep their messages for the error set's sake.
    switch (error.kind) {  // GCOVR_EXCL_BR_LINE: the arcs to those kinds
        case AcquisitionErrorKind::InvalidPath: return set(PyExc_FileNotFoundError, "Invalid path");
        case AcquisitionErrorKind::ReadFailed:
            return set_prefixed(PyExc_OSError, "Could not read acquisition: ", error.text);
        case AcquisitionErrorKind::IndexOutOfBounds: return set(PyExc_IndexError, "Index out of bounds");
        case AcquisitionErrorKind::OpenFailed: return set_os_error(error.error_number, error.text);
        case AcquisitionErrorKind::TooManyEvents:
            return set(PyExc_OverflowError, "event count does not fit a signed 64-bit integer");
        // GCOVR_EXCL_START: never raised by a reader (see above)
        case AcquisitionErrorKind::AlreadyExists: return set(PyExc_FileExistsError, "Acquisition already exists");
        case AcquisitionErrorKind::CreateFailed: return set(PyExc_OSError, "Could not create acquisition");
        case AcquisitionErrorKind::ChunkCapacityExceeded: return set(full_chunk_error_type(), "Chunk capacity exceeded");
        case AcquisitionErrorKind::WriteFailed: return set(PyExc_OSError, "Failed to write data");
        case AcquisitionErrorKind::MissingMetadata:
            return set(metadata_error_type(), "Acquisition is missing metadata");
        case AcquisitionErrorKind::MetadataAlreadyWritten:
            return set(metadata_error_type(), "Cannot write metadata twice");
        case AcquisitionErrorKind::InvalidMetadata: return set(PyExc_ValueError, "Invalid metadata");
        case AcquisitionErrorKind::NoSuchMiscData: return set(PyExc_ValueError, "No such misc data");
        case AcquisitionErrorKind::Unknown: break;
    }
    return set(PyExc_OSError, "Unknown error");
    // GCOVR_EXCL_STOP
}

PyObject* raise(ParsingError error) {
    return set_prefixed(parsing_error_type(), "Failed to parse event: ", message(error));
}

namespace {

// Why metadata.yml could not be used: the OSError of the read that failed, or
// a ValueError with the reader's description; nothing when neither is known.
OwnedRef metadata_cause(const MetadataError& error) {
    if (error.error_number != 0) return os_error(error.error_number, error.path);
    if (error.detail.empty()) return OwnedRef::borrow(Py_None);
    return OwnedRef(PyObject_CallFunction(PyExc_ValueError, "s#", error.detail.data(),
                                          static_cast<Py_ssize_t>(error.detail.size())));
}

// Raises `type` with `text` and `cause` (None: no cause) as its __cause__.
PyObject* set_with_cause(PyObject* type, const std::string& text, OwnedRef cause) {
    if (type == nullptr || !cause) return nullptr;
    if (cause.get() == Py_None) return set(type, text);
    OwnedRef exception(PyObject_CallFunction(type, "s#", text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!exception) return nullptr;
    PyException_SetCause(exception.get(), cause.release());
    PyErr_SetObject(type, exception.get());
    return nullptr;
}

}  // namespace

PyObject* raise(const MetadataError& error) {
    std::string text = "Could not process metadata: ";
    text.append(message(error));
    return set_with_cause(metadata_error_type(), text, metadata_cause(error));
}

// A failure the system reported keeps the fixed message and carries the
// system's reason as __cause__.
PyObject* raise(const ExportError& error) {
    std::string text = "Could not export: ";
    text.append(message(error));
    if (error.os_error != 0) return set_with_cause(export_error_type(), text, os_error(error.os_error, error.path));
    if (error.metadata) return set_with_cause(export_error_type(), text, metadata_cause(*error.metadata));
    return set(export_error_type(), text);
}

PyObject* raise_panic(std::string_view message) {
    set(panic_exception_type(), message);
    if (!PyErr_Occurred()) {  // GCOVR_EXCL_START: set() leaves the PanicException or a MemoryError
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }  // GCOVR_EXCL_STOP
    return nullptr;
}

}  // namespace vintrel::py
