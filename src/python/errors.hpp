// Conversion of the core's error values into Python exceptions, and the
// boundary guard every entry point runs inside.
#pragma once

#include "python/ref.hpp"

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "error/errors.hpp"

namespace vintrel::py {

// A violated internal expectation; raised to Python as PanicException.
struct Panic {
    std::string message;
};

// Each sets the Python error indicator and returns nullptr.
PyObject* raise(const AcquisitionError& error);
PyObject* raise(ParsingError error);
PyObject* raise(const MetadataError& error);
PyObject* raise(const ExportError& error);
PyObject* raise_panic(std::string_view message);

// The module's exception types, created on first use.
PyObject* parsing_error_type();
PyObject* metadata_error_type();
PyObject* export_error_type();
PyObject* full_chunk_error_type();
PyObject* panic_exception_type();

// Whether the pending exception is an ordinary failure of an operation, one a
// caller may absorb ("not an acquisition", "end of iteration"): an Exception
// other than MemoryError. Interrupts (KeyboardInterrupt, SystemExit),
// PanicException and MemoryError always reach the caller.
inline bool pending_error_is_ordinary() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// Runs an entry point body; C++ exceptions never cross into the interpreter:
// allocation failure becomes MemoryError, anything else PanicException.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const Panic& panic) {
        raise_panic(panic.message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    // GCOVR_EXCL_START: sizes are checked before anything is allocated and
    // nothing else throws; these only keep any exception out of the interpreter.
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    // GCOVR_EXCL_STOP
    return failure;
}

template <class F>
PyObject* guarded(F&& body) noexcept {
    return guarded<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace vintrel::py
