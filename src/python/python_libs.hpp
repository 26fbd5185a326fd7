// Python callables imported on first use and cached for the process:
// yaml.safe_load, gzip.decompress, the package's side-file unpickler
// vintrel._safe_pickle.loads (and pathlib.Path). A failed import is raised
// and tried again on the next use. Borrowed references.
#pragma once

#include "python/ref.hpp"

namespace vintrel::py {

PyObject* yaml_safe_load();
PyObject* gzip_decompress();
PyObject* side_file_loads();
PyObject* pathlib_path_type();

}  // namespace vintrel::py
