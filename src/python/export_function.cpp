// export_csv(acq, indices, out_dir, pedestals_correction): converts its
// arguments, then runs the whole export with the interpreter lock released,
// on copies of everything it needs (path, indices, Params, pedestals). A
// correction asked for and not made (no pedestal file, or one that cannot be
// used) gives one RuntimeWarning.
#include "python/functions.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "calibration/corrections.hpp"
#include "calibration/pedestal_file.hpp"
#include "concurrency/interruption.hpp"
#include "concurrency/worker_pool.hpp"
#include "export/driver.hpp"
#include "python/acquisition_type.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/pedestal_warning.hpp"
#include "python/warn.hpp"

namespace vintrel::py {
namespace {

std::optional<Acquisition> acquisition_arg(PyObject* value) {
    if (!is_acquisition_object(value)) {
        PyErr_Format(PyExc_TypeError, "argument 'acq': expected Acquisition, not %s", Py_TYPE(value)->tp_name);
        return std::nullopt;
    }
    auto* acq = reinterpret_cast<PyAcquisition*>(value);
    if (!acq->constructed) throw Panic{"Acquisition object was not initialised"};
    return acq->state().acquisition;
}

// A slice selects as acq[a:b:c] does, among the events there are now; any
// other value is a sequence of ints (a range among them).
std::optional<std::vector<std::uint64_t>> indices_arg(const Acquisition& acquisition, PyObject* value) {
    if (!PySlice_Check(value)) return index_sequence_arg(value, "indices");
    auto length = acquisition.len();
    if (!length) {
        raise(length.error());
        return std::nullopt;
    }
    return slice_indices(value, *length);
}

// What a signal handler raised while the export ran, kept without the
// interpreter lock until the export has stopped, then raised.
class RaisedBySignal {
public:
    RaisedBySignal() = default;
    RaisedBySignal(const RaisedBySignal&) = delete;
    RaisedBySignal& operator=(const RaisedBySignal&) = delete;
    ~RaisedBySignal() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

    // The interruption's check: runs pending signal handlers, with the
    // interpreter lock taken for the moment; true when one raised.
    static bool check(void* context) {
        auto* self = static_cast<RaisedBySignal*>(context);
        const PyGILState_STATE state = PyGILState_Ensure();
        const bool raised = PyErr_CheckSignals() < 0;
        if (raised && self->type_ == nullptr) PyErr_Fetch(&self->type_, &self->value_, &self->traceback_);
        PyErr_Clear();
        PyGILState_Release(state);
        return raised;
    }

    // Sets the exception again; needs the interpreter lock.
    PyObject* raise() {
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(traceback_, nullptr));
        return nullptr;
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The outcome of the lock-free part, turned into an exception afterwards.
struct Outcome {
    std::optional<MetadataError> metadata_error;
    std::optional<ExportError> export_error;
    std::optional<calibration::PedestalRefusal> pedestals_refused;
    bool pedestals_missing = false;  // asked for, and there is no pedestal file
};

// Runs without the interpreter lock, so under a fork hold throughout (the
// export lets forks go ahead between its steps).
Outcome run_export(const Acquisition& acquisition, const std::vector<std::uint64_t>& indices,
                   const std::string& out_dir, bool pedestals_correction, concurrency::Interruption& interruption) {
    const concurrency::ForkHold hold;
    Outcome outcome;
    auto metadata = acquisition.metadata();
    if (!metadata) {
        outcome.metadata_error = std::move(metadata.error());
        return outcome;
    }
    calibration::Corrections corrections(std::move(metadata->params));
    if (pedestals_correction) {
        auto pedestals = calibration::load_pedestal_file(acquisition);
        outcome.pedestals_missing = !pedestals.table && !pedestals.refused;
        corrections = std::move(corrections).pedestals(std::move(pedestals.table));
        outcome.pedestals_refused = std::move(pedestals.refused);
    }
    auto done =
        csv::export_csv_from_acq(acquisition, indices, corrections, out_dir, csv::kDefaultChunkSize, &interruption);
    if (!done) outcome.export_error = std::move(done.error());
    return outcome;
}

// Raises the export's error; a warning raised as an error just before (under
// -W error) becomes its __context__, as if raised while handling it.
PyObject* raise_after_warning(const ExportError& error) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    OwnedRef warning_type(type), warning(value), warning_traceback(traceback);
    if (warning && warning_traceback) PyException_SetTraceback(warning.get(), warning_traceback.get());
    raise(error);
    if (!warning) return nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) PyException_SetContext(value, warning.release());
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

// The warning for a correction asked for and not made; false if it was
// raised as an error.
bool warn_uncorrected(const Outcome& outcome) {
    if (outcome.pedestals_refused)
        return warn_pedestals_refused(*outcome.pedestals_refused, "the export is not corrected");
    if (!outcome.pedestals_missing) return true;
    return warn_caller(PyExc_RuntimeWarning,
                       "export_csv(): no pedestals_calibration file; the export is not pedestal-corrected");
}

}  // namespace

PyObject* export_csv_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 4> bound{};
        if (!bind_args("export_csv", std::array<const char*, 4>{"acq", "indices", "out_dir", "pedestals_correction"},
                       args, nargs, kwnames, bound))
            return nullptr;
        auto acquisition = acquisition_arg(bound[0]);
        if (!acquisition) return nullptr;
        auto indices = indices_arg(*acquisition, bound[1]);
        if (!indices) return nullptr;
        auto out_dir = path_arg(bound[2], "out_dir");
        if (!out_dir) return nullptr;
        auto pedestals_correction = flag_arg(bound[3], "pedestals_correction");
        if (!pedestals_correction) return nullptr;

        // A signal stops the export between files or events, as a failure
        // would, and what its handler raised (KeyboardInterrupt, say) is raised.
        Outcome outcome;
        RaisedBySignal raised;
        {
            concurrency::Interruption interruption(&RaisedBySignal::check, &raised);
            GilRelease unlocked;
            outcome = run_export(*acquisition, *indices, *out_dir, *pedestals_correction, interruption);
        }
        if (outcome.export_error && outcome.export_error->kind == ExportErrorKind::Interrupted) return raised.raise();
        if (outcome.metadata_error) return raise(*outcome.metadata_error);
        // Issued after the export: under -W error the warning is raised with
        // the files already written.
        const bool warned = warn_uncorrected(outcome);
        if (outcome.export_error) return warned ? raise(*outcome.export_error) : raise_after_warning(*outcome.export_error);
        if (!warned) return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace vintrel::py
