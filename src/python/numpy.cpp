// The reading of input samples, and output arrays over the module's own
// buffers.
#include "python/numpy_api.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/numpy.hpp"
#include "python/threads.hpp"

namespace ostrel::python {

namespace {

// The owner of an output array's buffer, stored as the array's base.
struct SliceContainer {
    PyObject_HEAD
    void* ptr;
    std::size_t len;
    std::size_t cap;
    void (*drop)(void* ptr, std::size_t len, std::size_t cap);
};

void free_floats(void* ptr, std::size_t, std::size_t) { std::free(ptr); }

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->drop != nullptr) container->drop(container->ptr, container->len, container->cap);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of arrays returned by ostrel_py.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "ostrel_py.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

// Created at first use and kept for the life of the process (threads.hpp).
std::atomic<PyObject*> slice_container_class{nullptr};

PyTypeObject* slice_container_type() {
    PyObject* type = slice_container_class.load(std::memory_order_acquire);
    if (type == nullptr) {
        PyRef created = PyRef::steal(PyType_FromSpec(&slice_container_spec));
        if (!created) throw PyError::fetch();
        type = keep_first(slice_container_class, std::move(created));
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyRef make_container(Buffer<float>& data) {
    try {
        PyTypeObject* type = slice_container_type();
        PyRef object = PyRef::steal(PyType_GenericAlloc(type, 0));
        if (!object) throw PyError::fetch();
        auto* container = reinterpret_cast<SliceContainer*>(object.get());
        container->len = data.size();
        container->cap = data.size();
        container->ptr = data.release();
        container->drop = free_floats;
        return object;
    } catch (const PyError& error) {
        panic_with("Failed to create slice container", error);
    }
}

}  // namespace

bool is_float32_vector(PyObject* object) {
    bind_numpy();
    if (!PyArray_Check(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 1) return false;
    PyArray_Descr* wanted = PyArray_DescrFromType(NPY_FLOAT32);
    if (wanted == nullptr) throw PyError::fetch();
    PyArray_Descr* actual = PyArray_DESCR(array);
    const bool equivalent = actual == wanted || PyArray_EquivTypes(actual, wanted);
    Py_DECREF(wanted);
    return equivalent;
}

namespace {

bool contiguous_and_aligned(PyArrayObject* array) {
    return PyArray_STRIDE(array, 0) == static_cast<npy_intp>(sizeof(float)) &&
           reinterpret_cast<std::uintptr_t>(PyArray_DATA(array)) % alignof(float) == 0;
}

}  // namespace

bool Samples::copied(PyObject* array) {
    return vector_length(array) != 0 && !contiguous_and_aligned(reinterpret_cast<PyArrayObject*>(array));
}

std::size_t vector_length(PyObject* array) {
    return static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(array), 0));
}

Samples::Samples(PyObject* array) : borrow_(array) {
    auto* view = reinterpret_cast<PyArrayObject*>(array);
    const std::size_t size = vector_length(array);
    const auto* data = static_cast<const char*>(PyArray_DATA(view));
    if (!copied(array)) {
        samples_ = {reinterpret_cast<const float*>(data), size};
        return;
    }
    // Each element is read at its true byte address, so strides that are
    // negative or not a multiple of the item size, and unaligned data, are
    // read correctly.
    const npy_intp stride = PyArray_STRIDE(view, 0);
    copy_.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
        std::memcpy(&copy_[i], data + static_cast<npy_intp>(i) * stride, sizeof(float));
    }
    samples_ = copy_;
}

PyRef make_float_array(Buffer<float> data, std::size_t rows, std::size_t cols) {
    bind_numpy();
    // NumPy allocates memory of its own for a NULL data pointer; an empty
    // result still gets a buffer of ours so that the array never owns its data.
    if (data.data() == nullptr) data = Buffer<float>::uninitialised(1);
    void* address = data.data();
    PyRef container = make_container(data);

    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT32);
    if (descr == nullptr) throw PyError::fetch();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    npy_intp strides[2] = {static_cast<npy_intp>(cols * sizeof(float)), static_cast<npy_intp>(sizeof(float))};
    // The descriptor reference is stolen, even on failure.
    PyRef array = PyRef::steal(
        PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, strides, address, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) throw PyError::fetch();
    // The container reference is stolen, even on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) < 0) {
        throw PyError::fetch();
    }
    return array;
}

}  // namespace ostrel::python
