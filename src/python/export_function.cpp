// export_csv(acq, indices, out_dir, pedestals_correction): converts its
// arguments, then runs the whole export with the interpreter lock released,
// on copies of everything it needs (path, indices, Params, pedestals).
#include "python/functions.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "calibration/corrections.hpp"
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

// The outcome of the lock-free part, turned into an exception afterwards.
struct Outcome {
    std::optional<MetadataError> metadata_error;
    std::optional<ExportError> export_error;
};

Outcome run_export(const Acquisition& acquisition, const std::vector<std::uint64_t>& indices,
                   const std::string& out_dir, bool pedestals_correction) {
    auto metadata = acquisition.metadata();
    if (!metadata) return {std::move(metadata.error()), std::nullopt};
    calibration::Corrections corrections(std::move(metadata->params));
    std::optional<calibration::Pedestals> pedestals;
    if (pedestals_correction) {
        // A missing, unreadable or undecodable file means no correction.
        if (auto file = acquisition.misc_data(MiscDataKind::PedestalsCalibration))
            if (auto table = calibration::Pedestals::from_bytes(file->bytes)) pedestals = std::move(*table);
    }
    corrections = std::move(corrections).pedestals(std::move(pedestals));
    auto done = csv::export_csv_from_acq(acquisition, indices, corrections, out_dir, csv::kDefaultChunkSize);
    if (!done) return {std::nullopt, std::move(done.error())};
    return {};
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
        if (outcome.export_error) return raise(*outcome.export_error);
        Py_RETURN_NONE;
    });
}

}  // namespace vintrel::py
