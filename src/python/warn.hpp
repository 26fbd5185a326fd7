// Issuing a warning from native code on behalf of the Python caller.
#pragma once

#include "python/ref.hpp"

namespace vintrel::py {

// Warns `message` (a str) in `category`, attributed to the Python code that
// called in, as warnings.warn(message, category, stacklevel=1) there would.
// False when the warning was raised as an error or could not be made.
bool warn_caller(PyObject* category, PyObject* message);

// The same for a text of the module's own.
bool warn_caller(PyObject* category, const char* message);

}  // namespace vintrel::py
