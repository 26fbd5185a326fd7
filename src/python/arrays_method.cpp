// Acquisition.arrays(indices=None, *, pedestals_correction=False,
// channels=None): reads events into columns with the interpreter lock
// released (on copies of the path, Params, indices and pedestal table) and
// under a fork hold, then hands the columns' memory to vintrel._columnar,
// which views it with numpy without copying. A signal handler that raises
// (Ctrl-C) stops a long read: the columns are dropped and the exception
// propagates.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "calibration/corrections.hpp"
#include "calibration/pedestal_file.hpp"
#include "columnar/read_columns.hpp"
#include "concurrency/worker_pool.hpp"
#include "python/acquisition_type.hpp"
#include "python/args.hpp"
#include "python/column_buffer.hpp"
#include "python/errors.hpp"
#include "python/pedestal_warning.hpp"
#include "python/python_libs.hpp"

namespace vintrel::py {
namespace {

struct Columns {
    std::optional<columnar::EventColumns> columns;  // none: a signal handler raised
    bool pedestals_applied;
    std::optional<calibration::PedestalRefusal> pedestals_refused;
};

// Runs the handlers of signals that arrived meanwhile (on the main thread
// only, as the interpreter does); true when one raised, its exception then
// pending on this thread. Called without the interpreter lock.
bool signal_handler_raised() {
    const PyGILState_STATE gil = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(gil);
    return raised;
}

// The lock-free part, under a fork hold: loads the pedestal table when asked
// (without a usable file the events are read uncorrected, as in export_csv)
// and reads.
Columns read_columns(const Acquisition& acquisition, Params params, std::span<const std::uint64_t> indices,
                     bool pedestals_correction, columnar::ChannelSelection channels) {
    const concurrency::ForkHold hold;
    calibration::Corrections corrections(std::move(params));
    calibration::PedestalFile pedestals;
    if (pedestals_correction) pedestals = calibration::load_pedestal_file(acquisition);
    const bool applied = pedestals.table.has_value();
    corrections = std::move(corrections).pedestals(std::move(pedestals.table));
    const columnar::ReadOptions options{std::move(channels), signal_handler_raised};
    return {columnar::read_event_columns(acquisition, indices, corrections, options), applied,
            std::move(pedestals.refused)};
}

// None: every channel; otherwise an iterable of distinct ints, converted as
// the indices are.
std::optional<columnar::ChannelSelection> requested_channels(PyObject* channels) {
    if (channels == Py_None) return columnar::ChannelSelection();
    auto chosen = index_iterable_arg(channels, "channels");
    if (!chosen) return std::nullopt;
    std::vector<std::uint64_t> sorted = *chosen;
    std::ranges::sort(sorted);
    if (const auto twice = std::ranges::adjacent_find(sorted); twice != sorted.end()) {
        PyErr_Format(PyExc_ValueError, "channels must be distinct: %llu is given twice",
                     static_cast<unsigned long long>(*twice));
        return std::nullopt;
    }
    return columnar::ChannelSelection(std::vector<std::size_t>(chosen->begin(), chosen->end()));
}

// The RuntimeWarning for a correction asked for and not made; false if it
// was raised as an error.
bool warn_uncorrected(const Columns& read) {
    if (read.pedestals_refused) return warn_pedestals_refused(*read.pedestals_refused, "the events are not corrected");
    return PyErr_WarnEx(PyExc_RuntimeWarning,
                        "arrays(): no pedestals_calibration file; the events are not pedestal-corrected", 1) == 0;
}

// None: every event as of now; a slice: as acq[a:b:c] takes it; anything
// else: an iterable of ints, converted as export_csv converts its indices.
std::optional<std::vector<std::uint64_t>> requested_indices(const Acquisition& acquisition, PyObject* indices) {
    if (indices != Py_None && !PySlice_Check(indices)) return index_iterable_arg(indices, "indices");
    auto length = acquisition.len();
    if (!length) {
        raise(length.error());
        return std::nullopt;
    }
    if (indices != Py_None) return slice_indices(indices, *length);
    if (*length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "event count does not fit a signed 64-bit integer");
        return std::nullopt;
    }
    std::vector<std::uint64_t> all(*length);
    for (std::uint64_t i = 0; i < *length; ++i) all[i] = i;
    return all;
}

// The exception that is pending, taken as an object.
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// The exception acq[index] raises for an event that failed this way (a new
// reference), or nullptr with an error that must reach the caller.
PyObject* failure_exception(const columnar::EventFailure& failure) {
    using Stage = columnar::EventFailure::Stage;
    if (failure.index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        PyErr_SetString(PyExc_TypeError, "index must be an int or a slice");
    else if (failure.stage == Stage::Read)
        raise(failure.read_error);
    else if (failure.stage == Stage::Parse)
        raise(failure.parse_error);
    else if (failure.stage == Stage::Channel)
        // follow() tells this failure of a complete event from a read failure
        // (an event not yet written) by its first word: keep it.
        PyErr_SetString(PyExc_IndexError, ("channel " + std::to_string(failure.channel) +
                                           " out of range: the event has " + std::to_string(failure.channel_count) +
                                           (failure.channel_count == 1 ? " channel" : " channels"))
                                              .c_str());
    else
        PyErr_SetString(PyExc_ValueError,
                        "pedestal correction failed: the pedestal table has no value for a sample of this event");
    if (!pending_error_is_ordinary()) return nullptr;
    return take_exception();
}

// [(index, exception), ...] in the order asked.
PyObject* failure_list(const std::vector<columnar::EventFailure>& failures) {
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(failures.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < failures.size(); ++i) {
        OwnedRef exception(failure_exception(failures[i]));
        if (!exception) return nullptr;
        OwnedRef index(PyLong_FromUnsignedLongLong(failures[i].index));
        if (!index) return nullptr;
        PyObject* pair = PyTuple_Pack(2, index.get(), exception.get());
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

bool put(PyObject* dict, const char* key, PyObject* value) {
    OwnedRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

template <class T>
bool put_list_column(PyObject* dict, const char* values, const char* offsets, columnar::ListColumn<T>& column) {
    return put(dict, values, column_buffer(column.values)) && put(dict, offsets, column_buffer(column.offsets));
}

// {name: buffer object}: the names of EventArrays' attributes, and for ECC
// error records "ecc_<field>" plus "ecc_error_offsets".
PyObject* buffer_dict(columnar::EventColumns& columns) {
    OwnedRef dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (!put(d, "index", column_buffer(columns.index)) ||
        !put(d, "channel_offsets", column_buffer(columns.channel_offsets)) ||
        !put_list_column(d, "data", "data_offsets", columns.data) ||
        !put_list_column(d, "time", "time_offsets", columns.time) ||
        !put_list_column(d, "window_labels", "window_label_offsets", columns.window_labels))
        return nullptr;
    if (columns.timing && !put_list_column(d, "timing", "timing_offsets", *columns.timing)) return nullptr;
    if (auto& ecc = columns.ecc_errors) {
        if (!put(d, "ecc_offset", column_buffer(ecc->offset)) ||
            !put(d, "ecc_position", column_buffer(ecc->position)) || !put(d, "ecc_word", column_buffer(ecc->word)) ||
            !put(d, "ecc_corrected", column_buffer(ecc->corrected)) || !put(d, "ecc_bit", column_buffer(ecc->bit)) ||
            !put(d, "ecc_error_offsets", column_buffer(ecc->offsets)))
            return nullptr;
    }
    return dict.release();
}

}  // namespace

PyObject* acquisition_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"indices", "pedestals_correction", "channels", nullptr};
        PyObject* indices_value = Py_None;
        PyObject* correction_value = Py_False;
        PyObject* channels_value = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OO:arrays", const_cast<char**>(kwlist), &indices_value,
                                         &correction_value, &channels_value))
            return nullptr;
        PyAcquisition::State& state = live_acquisition(self).state();
        auto indices = requested_indices(state.acquisition, indices_value);
        if (!indices) return nullptr;
        auto pedestals_correction = flag_arg(correction_value, "pedestals_correction");
        if (!pedestals_correction) return nullptr;
        auto channels = requested_channels(channels_value);
        if (!channels) return nullptr;

        std::optional<Columns> read;
        {
            const Acquisition acquisition = state.acquisition;
            Params params = state.params;
            GilRelease unlocked;
            read.emplace(read_columns(acquisition, std::move(params), *indices, *pedestals_correction,
                                      std::move(*channels)));
        }
        if (!read->columns) return nullptr;  // the exception of the signal handler is pending
        if (*pedestals_correction && !read->pedestals_applied && !warn_uncorrected(*read)) return nullptr;
        OwnedRef errors(failure_list(read->columns->failures));
        if (!errors) return nullptr;
        OwnedRef buffers(buffer_dict(*read->columns));
        if (!buffers) return nullptr;
        PyObject* from_buffers = event_arrays_from_buffers();
        if (from_buffers == nullptr) return nullptr;
        return PyObject_CallFunctionObjArgs(from_buffers, buffers.get(), errors.get(),
                                            read->pedestals_applied ? Py_True : Py_False, nullptr);
    });
}

}  // namespace vintrel::py
