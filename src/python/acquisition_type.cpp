#include "python/acquisition_type.hpp"

#include <array>

#include "acquisition/event_reader.hpp"

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/event_dict.hpp"
#include "python/package_methods.hpp"
#include "python/python_libs.hpp"
#include "python/yaml_merge_rule.hpp"

namespace vintrel::py {
namespace {

PyAcquisition* as_acq(PyObject* self) { return reinterpret_cast<PyAcquisition*>(self); }

PyAcquisition::State& live_state(PyObject* self) { return live_acquisition(self).state(); }

PyObject* alloc_acquisition(Acquisition acquisition, Params params, PyObject* metadata) {
    PyTypeObject* type = acquisition_type();
    if (type == nullptr) return nullptr;
    OwnedRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    PyAcquisition* obj = as_acq(self.get());
    new (obj->storage) PyAcquisition::State{std::move(acquisition), std::move(params)};
    obj->constructed = true;
    Py_INCREF(metadata);
    obj->metadata = metadata;
    return self.release();
}

// --- object lifecycle -------------------------------------------------------

int acq_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_acq(self)->metadata);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int acq_clear(PyObject* self) {
    Py_CLEAR(as_acq(self)->metadata);
    return 0;
}

void acq_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    acq_clear(self);
    PyAcquisition* obj = as_acq(self);
    if (obj->constructed) obj->state().~State();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* acq_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"root", nullptr};
        PyObject* root = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Acquisition", const_cast<char**>(kwlist), &root))
            return nullptr;
        auto path = path_arg(root, "root");
        if (!path) return nullptr;
        return new_acquisition(*path);
    });
}

// --- properties -------------------------------------------------------------

PyObject* get_is_valid(PyObject* self, void*) {
    return guarded([&] { return PyBool_FromLong(is_acquisition(live_state(self).acquisition.path())); });
}

// Paths and names are decoded as os.fsdecode() does (undecodable bytes
// become lone surrogates), which the constructor encodes back to the same
// bytes: a directory whose name is not UTF-8 is an acquisition like any other.
PyObject* get_path(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::string& path = live_state(self).acquisition.path();
        return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    });
}

PyObject* get_name(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        auto name = live_state(self).acquisition.name();
        if (!name) throw Panic{std::string(message(name.error()))};
        return PyUnicode_DecodeFSDefaultAndSize(name->data(), static_cast<Py_ssize_t>(name->size()));
    });
}

PyObject* get_chunk_count(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        auto count = live_state(self).acquisition.chunk_count();
        if (!count) return raise(count.error());
        return PyLong_FromUnsignedLongLong(*count);
    });
}

PyObject* get_metadata(PyObject* self, void*) {
    return guarded([&] { return OwnedRef::borrow(live_acquisition(self).metadata).release(); });
}

PyObject* get_params(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        PyObject* metadata = live_acquisition(self).metadata;
        if (!PyDict_Check(metadata)) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'", Py_TYPE(metadata)->tp_name);
            return nullptr;
        }
        OwnedRef key(PyUnicode_FromString("params"));
        if (!key) return nullptr;
        PyObject* params = PyDict_GetItemWithError(metadata, key.get());
        if (params == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "params");
            return nullptr;
        }
        return OwnedRef::borrow(params).release();
    });
}

// Reads a side file and decodes it with gzip.decompress and the side-file
// decoder vintrel._safe_pickle.loads, which reads plain data and numpy
// values and refuses anything else, within budgets set by the file's size.
PyObject* load_misc_data(PyObject* self, MiscDataKind kind) {
    return guarded([&]() -> PyObject* {
        auto misc = live_state(self).acquisition.misc_data(kind);
        if (!misc) {
            if (misc.error().kind == AcquisitionErrorKind::NoSuchMiscData) Py_RETURN_NONE;
            return raise(misc.error());
        }
        OwnedRef bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(misc->bytes.data()),
                                                 static_cast<Py_ssize_t>(misc->bytes.size())));
        if (!bytes) return nullptr;
        misc->bytes = {};
        PyObject* decompress = gzip_decompress();
        if (decompress == nullptr) return nullptr;
        OwnedRef raw(PyObject_CallOneArg(decompress, bytes.get()));
        if (!raw) return nullptr;
        PyObject* loads = side_file_loads();
        if (loads == nullptr) return nullptr;
        return PyObject_CallOneArg(loads, raw.get());
    });
}

PyObject* get_readout_metadata(PyObject* self, void*) { return load_misc_data(self, MiscDataKind::ReadoutMetadata); }
PyObject* get_pedestals(PyObject* self, void*) { return load_misc_data(self, MiscDataKind::PedestalsCalibration); }
PyObject* get_adc2mv(PyObject* self, void*) { return load_misc_data(self, MiscDataKind::Adc2mvCalibration); }
PyObject* get_timing(PyObject* self, void*) { return load_misc_data(self, MiscDataKind::TimingCalibration); }

PyGetSetDef acq_getset[] = {
    {"is_valid", get_is_valid, nullptr, "Check if the folder is a valid acquisition.", nullptr},
    {"path", get_path, nullptr, "Get the path to the acquisition directory.", nullptr},
    {"name", get_name, nullptr, "Get the name of the acquisition.", nullptr},
    {"chunk_count", get_chunk_count, nullptr, "Get the number of chunks in the acquisition", nullptr},
    {"metadata", get_metadata, nullptr, "Read the metadata from the acquisition.", nullptr},
    {"params", get_params, nullptr, "Get acquisition params.", nullptr},
    {"readout_metadata", get_readout_metadata, nullptr, "Read the readout metadata from the acquisition.", nullptr},
    {"pedestals_calibration", get_pedestals, nullptr, "Read pedestals calibration from the acquisition.", nullptr},
    {"adc_to_mv_calibration", get_adc2mv, nullptr, "Read ADC to mV calibration from the acquisition.", nullptr},
    {"timing_calibration", get_timing, nullptr, "Read timing calibration from the acquisition.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- events -----------------------------------------------------------------

std::optional<std::uint64_t> index_argument(const char* method, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    std::array<PyObject*, 1> bound{};
    if (!bind_args(method, std::array<const char*, 1>{"index"}, args, nargs, kwnames, bound)) return std::nullopt;
    return u64_arg(bound[0], "index");
}

PyObject* raw_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto index = index_argument("raw_event", args, nargs, kwnames);
        if (!index) return nullptr;
        auto bytes = live_state(self).acquisition.get(*index);
        if (!bytes) return raise(bytes.error());
        OwnedRef raw(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                               static_cast<Py_ssize_t>(bytes->size())));
        OwnedRef number(PyLong_FromUnsignedLongLong(*index));
        if (!raw || !number) return nullptr;
        OwnedRef dict(PyDict_New());
        if (!dict || PyDict_SetItemString(dict.get(), "rawdata", raw.get()) < 0 ||
            PyDict_SetItemString(dict.get(), "pkg_num", number.get()) < 0 ||
            PyDict_SetItemString(dict.get(), "event_num", number.get()) < 0)
            return nullptr;
        return dict.release();
    });
}

PyObject* parse_event_at(PyAcquisition::State& state, std::uint64_t index) {
    GcPause no_collections;
    auto bytes = state.acquisition.get(index);
    if (!bytes) return raise(bytes.error());
    return parse_to_dict(state.params, *bytes);
}

PyObject* parsed_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto index = index_argument("parsed_event", args, nargs, kwnames);
        if (!index) return nullptr;
        return parse_event_at(live_state(self), *index);
    });
}

// Batches are orchestrated in Python (vintrel._batches): each is one arrays()
// call, which reads with the interpreter lock released.
PyObject* acq_iterate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return call_package_function("vintrel._batches", "acquisition_iterate", self, args, nargs, kwnames);
    });
}

// --- copying and pickling ---------------------------------------------------

// An Acquisition travels as its path: unpickling runs the constructor on it,
// so the receiving process sees the directory as it is then (a path that is
// no longer an acquisition fails there with FileNotFoundError). The path is
// decoded as os.fsdecode does, which the constructor encodes back to the
// same bytes; a relative path is taken relative to the receiver's working
// directory.
PyObject* acq_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::string& path = live_state(self).acquisition.path();
        OwnedRef text(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
        if (!text) return nullptr;
        PyTypeObject* type = acquisition_type();
        if (type == nullptr) return nullptr;
        return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(type), text.get());
    });
}

// A copy, shallow or deep, is what unpickling gives: a new object opened
// again on the same path, with metadata read anew (no state is shared).
PyObject* acq_copy(PyObject* self, PyObject*) {
    return guarded([&] { return new_acquisition(live_state(self).acquisition.path()); });
}

PyObject* acq_deepcopy(PyObject* self, PyObject*) { return acq_copy(self, nullptr); }

// Following is written in Python (vintrel._follow): it only orchestrates
// arrays() calls and waits between them.
PyObject* acq_follow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return call_package_function("vintrel._follow", "follow", self, args, nargs, kwnames); });
}

PyMethodDef acq_methods[] = {
    {"__reduce__", acq_reduce, METH_NOARGS, "Pickle as the path: unpickling opens the acquisition again."},
    {"__copy__", acq_copy, METH_NOARGS, "A new Acquisition opened on the same path."},
    {"__deepcopy__", acq_deepcopy, METH_O, "A new Acquisition opened on the same path."},
    {"__enter__", acquisition_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nThe acquisition itself."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(acquisition_exit)), METH_FASTCALL,
     "__exit__($self, exc_type=None, exc_value=None, traceback=None, /)\n--\n\n"
     "Release what the acquisition remembers between calls; it stays usable."},
    {"_repr_html_", acquisition_repr_html, METH_NOARGS, "_repr_html_($self, /)\n--\n\nAn HTML table for notebooks."},
    {"raw_event", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(raw_event)),
     METH_FASTCALL | METH_KEYWORDS, "raw_event($self, index)\n--\n\nFetch a raw event as `bytes`."},
    {"iterate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(acq_iterate)),
     METH_FASTCALL | METH_KEYWORDS,
     "iterate($self, step_size=10000, *, start=0, stop=None, channels=None, pedestals_correction=False)\n--\n\n"
     "Read events start, start + 1, ... below stop in batches: an iterator of EventBatch objects.\n\n"
     "step_size: events per batch, or a size such as \"100 MB\" or \"1 GiB\" (events per batch from the "
     "size of the first events' arrays). stop: None for the event count when the call is made. Each batch "
     "is arrays(range(a, b), ...) for consecutive ranges; the next one is read while the caller works on "
     "the current one."},
    {"parsed_event", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parsed_event)),
     METH_FASTCALL | METH_KEYWORDS,
     "parsed_event($self, index)\n--\n\nFetch a parsed event.\n\n"
     "The board's raw format is decoded natively; no companion package of the acquisition software is "
     "required."},
    {"arrays", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(acquisition_arrays)),
     METH_VARARGS | METH_KEYWORDS,
     "arrays($self, indices=None, *, pedestals_correction=False)\n--\n\n"
     "Read events into flat numpy arrays: an EventArrays.\n\n"
     "indices: None (every event), a range, a slice (as acq[a:b:c] takes it) or an iterable of ints. "
     "Events that cannot be read, parsed or corrected are left out and listed in .errors with the "
     "exception acq[index] would raise. With pedestals_correction, the pedestals of "
     "pedestals_calibration are subtracted as export_csv subtracts them. data are ADC counts, time "
     "sample indices. The interpreter lock is released while events are read."},
    {"follow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(acq_follow)), METH_FASTCALL | METH_KEYWORDS,
     "follow($self, start=None, *, step_size=1000, timeout=None, poll=0.5, channels=None, "
     "pedestals_correction=False)\n--\n\n"
     "Iterate over the events recorded after start, in batches (EventArrays) of at most step_size events.\n\n"
     "start: None (the events recorded from now on), or the index of the first event to give (0: all of "
     "them). Each event comes once and in order, across appends and new chunks, once its bytes are all "
     "written. Waits on file-system notifications, and checks at least every poll seconds; ends after "
     "timeout seconds without a new event (None: never), on Ctrl-C, and with FileNotFoundError when the "
     "acquisition is removed. channels and pedestals_correction are passed on to arrays()."},
    {nullptr, nullptr, 0, nullptr},
};

std::expected<std::uint64_t, AcquisitionError> event_count(PyObject* self) {
    return live_state(self).acquisition.len();
}

Py_ssize_t acq_length(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        auto count = event_count(self);
        if (!count) {
            raise(count.error());
            return -1;
        }
        if (*count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "event count does not fit a signed 64-bit integer");
            return -1;
        }
        return static_cast<Py_ssize_t>(*count);
    });
}

PyObject* subscript_slice(PyAcquisition::State& state, PyObject* slice, std::uint64_t length) {
    auto indices = slice_indices(slice, length);
    if (!indices) return nullptr;
    GcPause no_collections;
    OwnedRef list(PyList_New(0));
    if (!list) return nullptr;
    EventReader reader(state.acquisition);  // one pass: each chunk is opened once
    for (const std::uint64_t index : *indices) {
        auto bytes = reader.read(index);
        if (!bytes) return raise(bytes.error());
        OwnedRef event(parse_to_dict(state.params, *bytes));
        if (!event || PyList_Append(list.get(), event.get()) < 0) return nullptr;
    }
    return list.release();
}

}  // namespace

PyObject* acquisition_subscript(PyObject* self, PyObject* index_or_slice) {
    return guarded([&]() -> PyObject* {
        auto length = event_count(self);
        if (!length) return raise(length.error());
        auto& state = live_state(self);
        if (Py_IS_TYPE(index_or_slice, &PySlice_Type)) return subscript_slice(state, index_or_slice, *length);
        long long index = -1;
        OwnedRef number(PyNumber_Index(index_or_slice));
        if (number) index = PyLong_AsLongLong(number.get());
        if (!number || (index == -1 && PyErr_Occurred())) {
            // Not an integer, or too large: the subscript's own TypeError.
            // Anything else __index__ raised is the caller's to see.
            if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
                return nullptr;
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "index must be an int or a slice");
            return nullptr;
        }
        if (index < 0) {
            PyErr_SetString(PyExc_IndexError, "index out of bounds");
            return nullptr;
        }
        return parse_event_at(state, static_cast<std::uint64_t>(index));
    });
}

namespace {

PyObject* acq_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyAcquisition& acq = live_acquisition(self);
        auto& state = acq.state();
        // Iteration ends quietly at the first event it cannot fetch; a chunk
        // file the system refuses to open is said at the start instead of
        // looking like an empty acquisition.
        if (auto count = state.acquisition.len(); !count && count.error().kind == AcquisitionErrorKind::OpenFailed)
            return raise(count.error());
        OwnedRef copy(alloc_acquisition(state.acquisition, state.params, acq.metadata));
        if (!copy) return nullptr;
        return new_iter_events(copy.get());
    });
}

PyType_Slot acq_slots[] = {
    // The signature line gives inspect.signature(Acquisition); __doc__ is the sentence after it.
    {Py_tp_doc,
     const_cast<char*>("Acquisition(root)\n--\n\nA Pythonic wrapper around the native Acquisition reader class.")},
    {Py_tp_repr, reinterpret_cast<void*>(acquisition_repr)},
    {Py_tp_new, reinterpret_cast<void*>(acq_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(acq_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(acq_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(acq_clear)},
    {Py_tp_getset, acq_getset},
    {Py_tp_methods, acq_methods},
    {Py_mp_length, reinterpret_cast<void*>(acq_length)},
    {Py_sq_length, reinterpret_cast<void*>(acq_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(acquisition_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(acq_iter)},
    {0, nullptr},
};

PyType_Spec acq_spec = {
    "vintrel.Acquisition",
    sizeof(PyAcquisition),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    acq_slots,
};

}  // namespace

PyAcquisition& live_acquisition(PyObject* self) {
    PyAcquisition* acq = as_acq(self);
    if (!acq->constructed || acq->metadata == nullptr) throw Panic{"Acquisition object was not initialised"};
    return *acq;
}

PyTypeObject* acquisition_type() {
    static PyObject* type = nullptr;  // created once, kept for the process
    if (type == nullptr) type = new_type(&acq_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

bool is_acquisition_object(PyObject* obj) {
    PyTypeObject* type = acquisition_type();
    return type != nullptr && Py_IS_TYPE(obj, type);
}

PyObject* new_acquisition(const std::string& path) {
    auto acquisition = Acquisition::open(path);
    if (!acquisition) return raise(acquisition.error());
    auto text = acquisition->metadata_str();
    if (!text) return raise(text.error());
    OwnedRef py_text(PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size())));
    if (!py_text) return nullptr;
    PyObject* safe_load = yaml_safe_load();
    if (safe_load == nullptr) return nullptr;
    OwnedRef metadata(PyObject_CallOneArg(safe_load, py_text.get()));
    if (!metadata) return nullptr;
    // The native view reads the same text, combining merge keys as PyYAML does.
    auto rule = yaml_merge_rule();
    if (!rule) return nullptr;
    acquisition->set_merge_rule(*rule);
    auto native = parse_metadata(*text, *rule);
    if (!native) return raise(native.error());
    return alloc_acquisition(std::move(*acquisition), std::move(native->params), metadata.get());
}

PyObject* is_acquisition_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_args("is_acquisition", std::array<const char*, 1>{"path"}, args, nargs, kwnames, bound))
            return nullptr;
        auto path = path_arg(bound[0], "path");
        if (!path) return nullptr;
        return PyBool_FromLong(is_acquisition(*path));
    });
}

PyObject* list_acquisitions_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_args("list_acquisitions", std::array<const char*, 1>{"root_dir"}, args, nargs, kwnames, bound))
            return nullptr;
        auto root = path_arg(bound[0], "root_dir");
        if (!root) return nullptr;
        OwnedRef list(PyList_New(0));
        if (!list) return nullptr;
        for (const Acquisition& found : list_acquisitions(*root)) {
            OwnedRef acq(new_acquisition(found.path()));
            if (!acq) {
                if (!pending_error_is_ordinary()) return nullptr;
                PyErr_Clear();  // entries that do not construct are left out
                continue;
            }
            if (PyList_Append(list.get(), acq.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

}  // namespace vintrel::py
