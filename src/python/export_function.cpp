// export_csv(acq, indices, out_dir, pedestals_correction): converts its
// arguments, then runs the whole export with the interpreter lock released,
// on copies of everything it needs (path, indices, Params, pedestals). A
// pedestal file that exists but cannot be used gives a RuntimeWarning.
#include "python/functions.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/file.hpp"
#include "calibration/corrections.hpp"
#include "concurrency/worker_pool.hpp"
#include "export/driver.hpp"
#include "python/acquisition_type.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"

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

// Why a pedestal file that exists was not used.
struct PedestalRefusal {
    std::string path;
    std::string reason;
};

// The outcome of the lock-free part, turned into an exception afterwards.
struct Outcome {
    std::optional<MetadataError> metadata_error;
    std::optional<ExportError> export_error;
    std::optional<PedestalRefusal> pedestals_refused;
};

// The pedestal table, or none: an absent file means no correction in
// silence, any other failure is reported in `refused`.
std::optional<calibration::Pedestals> load_pedestals(const Acquisition& acquisition,
                                                     std::optional<PedestalRefusal>& refused) {
    const MiscDataKind kind = MiscDataKind::PedestalsCalibration;
    auto file = acquisition.misc_data(kind);
    if (!file && file.error().kind == AcquisitionErrorKind::NoSuchMiscData) return std::nullopt;
    std::string path = join_path(acquisition.path(), misc_data_file_name(kind));
    if (!file) {
        const std::string& text = file.error().text;
        refused = PedestalRefusal{std::move(path), "could not read it" + (text.empty() ? "" : ": " + text)};
        return std::nullopt;
    }
    auto table = calibration::Pedestals::from_bytes(file->bytes);
    if (!table) {
        refused = PedestalRefusal{std::move(path), std::string(calibration::message(table.error()))};
        return std::nullopt;
    }
    return std::move(*table);
}

// Runs without the interpreter lock, so under a fork hold throughout (the
// export lets forks go ahead between its steps).
Outcome run_export(const Acquisition& acquisition, const std::vector<std::uint64_t>& indices,
                   const std::string& out_dir, bool pedestals_correction) {
    const concurrency::ForkHold hold;
    Outcome outcome;
    auto metadata = acquisition.metadata();
    if (!metadata) {
        outcome.metadata_error = std::move(metadata.error());
        return outcome;
    }
    calibration::Corrections corrections(std::move(metadata->params));
    if (pedestals_correction)
        corrections = std::move(corrections).pedestals(load_pedestals(acquisition, outcome.pedestals_refused));
    auto done = csv::export_csv_from_acq(acquisition, indices, corrections, out_dir, csv::kDefaultChunkSize);
    if (!done) outcome.export_error = std::move(done.error());
    return outcome;
}

// The RuntimeWarning for a refused pedestal file (the path decoded as
// os.fsdecode does); false if it was raised as an error, or could not be made.
bool warn(const PedestalRefusal& refused) {
    OwnedRef path(PyUnicode_DecodeFSDefault(refused.path.c_str()));
    if (!path) return false;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "pedestal file '%U' was not used, the export is not corrected: %s",
                            path.get(), refused.reason.c_str()) == 0;
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

}  // namespace

PyObject* export_csv_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 4> bound{};
        if (!bind_args("export_csv", std::array<const char*, 4>{"acq", "indices", "out_dir", "pedestals_correction"},
                       args, nargs, kwnames, bound))
            return nullptr;
        auto acquisition = acquisition_arg(bound[0]);
        if (!acquisition) return nullptr;
        auto indices = index_sequence_arg(bound[1], "indices");
        if (!indices) return nullptr;
        auto out_dir = path_arg(bound[2], "out_dir");
        if (!out_dir) return nullptr;
        auto pedestals_correction = flag_arg(bound[3], "pedestals_correction");
        if (!pedestals_correction) return nullptr;

        Outcome outcome;
        {
            GilRelease unlocked;
            outcome = run_export(*acquisition, *indices, *out_dir, *pedestals_correction);
        }
        if (outcome.metadata_error) return raise(*outcome.metadata_error);
        // Issued after the export: under -W error the warning is raised with
        // the files already written.
        const bool warned = !outcome.pedestals_refused || warn(*outcome.pedestals_refused);
        if (outcome.export_error) return warned ? raise(*outcome.export_error) : raise_after_warning(*outcome.export_error);
        if (!warned) return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace vintrel::py
