// A buffer exported by a Python object (PyObject_GetBuffer), released with
// its owner.
#pragma once

#include <memory>

#include "python/ref.hpp"

namespace vintrel::py {

struct BufferRelease {
    void operator()(Py_buffer* view) const {
        PyBuffer_Release(view);
        std::default_delete<Py_buffer>{}(view);
    }
};
using BufferExport = std::unique_ptr<Py_buffer, BufferRelease>;

}  // namespace vintrel::py
