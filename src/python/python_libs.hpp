// Python callables imported on first use and cached for the process:
// yaml.safe_load, gzip.decompress, the package's side-file decoder
// vintrel._safe_pickle.loads (and the package's
// vintrel._columnar._from_buffers, which imports numpy: the native module
// itself never does). A failed import is raised and tried again on the next
// use. Borrowed references.
#pragma once

#include "python/ref.hpp"

namespace vintrel::py {

PyObject* yaml_safe_load();
PyObject* gzip_decompress();
PyObject* side_file_loads();
PyObject* event_arrays_from_buffers();

}  // namespace vintrel::py
