#include "python/event_dict.hpp"

#include <vector>

#include "parsing/boards.hpp"
#include "python/errors.hpp"

namespace vintrel::py {
namespace {

PyObject* to_py(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
PyObject* to_py(std::uint16_t v) { return PyLong_FromLong(v); }
PyObject* to_py(std::uint32_t v) { return PyLong_FromUnsignedLong(v); }
// GCOVR_EXCL_START: the ostra96 parser leaves every channel's error list empty
PyObject* to_py(const parsing::EccErrorRecord& r) {
    return Py_BuildValue("(nnHHH)", static_cast<Py_ssize_t>(r.offset), static_cast<Py_ssize_t>(r.position), r.word,
                         r.corrected, r.bit);
}
// GCOVR_EXCL_STOP

// A new list holding the converted elements of `values`.
template <class T>
PyObject* to_list(const std::vector<T>& values) {
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = to_py(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

template <class T>
PyObject* to_nested_list(const std::vector<std::vector<T>>& channels) {
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(channels.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        PyObject* item = to_list(channels[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

bool put(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    OwnedRef owned(value);
    return PyDict_SetItemString(dict, key, value) == 0;
}

template <class Event>
PyObject* record_to_dict(const Event& event) {
    OwnedRef dict(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), "data", to_nested_list(event.data)) ||
        !put(dict.get(), "window_labels", to_nested_list(event.window_labels)) ||
        !put(dict.get(), "time", to_nested_list(event.time)))
        return nullptr;
    PyObject* timing = Py_None;
    PyObject* ecc = Py_None;
    if constexpr (requires { event.timing; }) timing = to_nested_list(event.timing);
    else Py_INCREF(Py_None);
    if (!put(dict.get(), "timing", timing)) return nullptr;
    if constexpr (requires { event.ecc_errors; }) ecc = to_nested_list(event.ecc_errors);
    else Py_INCREF(Py_None);
    if (!put(dict.get(), "ecc_errors", ecc)) return nullptr;
    return dict.release();
}

}  // namespace

PyObject* parse_to_dict(const Params& params, std::span<const std::uint8_t> raw_bytes) {
    auto board = parsing::board_for_model(params.model);
    if (!board) return raise(ParsingError::UnsupportedModel);
    return parsing::visit_board(*board, [&](auto parser) -> PyObject* {
        auto record = decltype(parser)::parse(raw_bytes, params);
        if (!record) return raise(record.error());
        return record_to_dict(*record);
    });
}

}  // namespace vintrel::py
