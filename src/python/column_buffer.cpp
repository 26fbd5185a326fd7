#include "python/column_buffer.hpp"

#include <new>
#include <utility>

#include "python/errors.hpp"

namespace vintrel::py {
namespace {

struct PyColumnBuffer {
    PyObject_HEAD
    alignas(columnar::GrowingBuffer) unsigned char storage[sizeof(columnar::GrowingBuffer)];
    const char* format;
    Py_ssize_t itemsize;
    Py_ssize_t length;  // items
    bool constructed;

    columnar::GrowingBuffer& bytes() { return *std::launder(reinterpret_cast<columnar::GrowingBuffer*>(storage)); }
};

PyColumnBuffer* as_buffer(PyObject* self) { return reinterpret_cast<PyColumnBuffer*>(self); }

// Where an empty column points: consumers expect a valid, aligned address.
alignas(8) unsigned char empty_column[8];

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    PyColumnBuffer* column = as_buffer(self);
    if (!column->constructed) {
        PyErr_SetString(PyExc_BufferError, "column buffer was not initialised");
        view->obj = nullptr;
        return -1;
    }
    std::byte* data = column->bytes().data();
    view->buf = data != nullptr ? static_cast<void*>(data) : static_cast<void*>(empty_column);
    view->obj = Py_NewRef(self);
    view->len = column->length * column->itemsize;
    view->readonly = 0;
    view->itemsize = column->itemsize;
    view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(column->format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) != 0 ? &column->length : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &column->itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void column_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyColumnBuffer* column = as_buffer(self);
    if (column->constructed) column->bytes().~GrowingBuffer();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot column_slots[] = {
    {Py_tp_doc, const_cast<char*>("Memory of one column of an EventArrays, seen through the buffer protocol.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {0, nullptr},
};

PyType_Spec column_spec = {
    "vintrel.ColumnBuffer",
    sizeof(PyColumnBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    column_slots,
};

PyTypeObject* column_buffer_type() {
    static PyObject* type = nullptr;  // created once, kept for the process
    if (type == nullptr) type = new_type(&column_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyObject* new_column_buffer(columnar::GrowingBuffer bytes, const char* format, Py_ssize_t itemsize) {
    PyTypeObject* type = column_buffer_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    PyColumnBuffer* column = as_buffer(self);
    column->format = format;
    column->itemsize = itemsize;
    column->length = static_cast<Py_ssize_t>(bytes.size()) / itemsize;
    new (column->storage) columnar::GrowingBuffer(std::move(bytes));
    column->constructed = true;
    return self;
}

}  // namespace vintrel::py
