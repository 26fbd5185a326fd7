#include "python/pedestal_warning.hpp"

namespace vintrel::py {

bool warn_pedestals_refused(const calibration::PedestalRefusal& refused, const char* consequence) {
    OwnedRef path(PyUnicode_DecodeFSDefault(refused.path.c_str()));
    if (!path) return false;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "pedestal file '%U' was not used, %s: %s", path.get(),
                            consequence, refused.reason.c_str()) == 0;
}

}  // namespace vintrel::py
