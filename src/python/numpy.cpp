// The reading of input samples, and output arrays over the module's own
// buffers.
#include "python/numpy_api.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>

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

namespace {

// What a description reads of an array, each field once.
struct Fields {
    int ndim;
    PyArray_Descr* descr;
    char* data;
    npy_intp length;  // of its one axis, when it has one
    npy_intp stride;
    bool operator==(const Fields&) const = default;
};

template <class T>
T load(T& field) noexcept {
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}

Fields read_fields(PyArrayObject* array) noexcept {
    auto& fields = *reinterpret_cast<PyArrayObject_fields*>(array);
    Fields read{load(fields.nd), load(fields.descr), load(fields.data), 0, 0};
    if (read.ndim == 1) {
        read.length = load(*load(fields.dimensions));
        read.stride = load(*load(fields.strides));
    }
    return read;
}

// A thread that changes an array's dtype writes its length, stride and
// descriptor one after another, each state in between a consistent one; a
// single reading could take the length from before and the stride from
// after (twice as many items at twice the step). Two readings alike show no
// change straddled. An array that changes under every one of many readings
// is an internal error, never a description of a state it was not in.
constexpr int kMostReadings = 1000;

Fields settled_fields(PyArrayObject* array) {
    Fields last = read_fields(array);
    for (int reading = 0; reading < kMostReadings; ++reading) {
        const Fields now = read_fields(array);
        if (now == last) return now;
        last = now;
    }
    panic("ndarray: changed while it was read");
}

bool is_float32(PyArray_Descr* actual) {
    PyArray_Descr* wanted = PyArray_DescrFromType(NPY_FLOAT32);
    if (wanted == nullptr) throw PyError::fetch();
    const bool equivalent = actual == wanted || PyArray_EquivTypes(actual, wanted);
    Py_DECREF(wanted);
    return equivalent;
}

}  // namespace

std::optional<Float32Vector> describe_float32_vector(PyObject* object) {
    bind_numpy();
    if (!PyArray_Check(object)) return std::nullopt;
    const Fields fields = settled_fields(reinterpret_cast<PyArrayObject*>(object));
    if (fields.ndim != 1 || !is_float32(fields.descr)) return std::nullopt;
    return Float32Vector{object, fields.data, static_cast<std::size_t>(fields.length), fields.stride};
}

bool Float32Vector::copied() const noexcept {
    const bool in_place = stride == static_cast<std::ptrdiff_t>(sizeof(float)) &&
                          reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0;
    return length != 0 && !in_place;
}

std::span<const float> Float32Vector::samples(std::vector<float>& copy) const {
    if (!copied()) return {reinterpret_cast<const float*>(data), length};
    // Each element is read at its true byte address, so strides that are
    // negative or not a multiple of the item size, and unaligned data, are
    // read correctly.
    copy.resize(length);
    // Locals, which the stores into the copy cannot alias.
    const char* const from = data;
    const std::ptrdiff_t step = stride;
    float* const to = copy.data();
    for (std::size_t i = 0, n = length; i < n; ++i) {
        std::memcpy(&to[i], from + static_cast<std::ptrdiff_t>(i) * step, sizeof(float));
    }
    return copy;
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
