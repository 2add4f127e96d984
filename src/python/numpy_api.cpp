// The lazy binding to NumPy's C API: NumPy imported and its API table taken
// from the `_ARRAY_API` capsule at the first array use.
#define OSTREL_NUMPY_API_OWNER
#include "python/numpy_api.hpp"

#include <atomic>
#include <memory>
#include <mutex>

#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "python/threads.hpp"

namespace ostrel::python {

namespace {

constexpr const char* kCapsuleError = "Failed to access NumPy array API capsule";

// Kept for the life of the process once published.
struct Binding {
    PyRef multiarray;
    PyRef capsule;
    void** table = nullptr;
};

std::atomic<Binding*> binding{nullptr};
// Held while the first binding made is published.
Lock binding_lock;

PyRef import(const char* name) {
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text) throw PyError::fetch();
    PyRef module = PyRef::steal(PyImport_Import(text.get()));
    if (!module) throw PyError::fetch();
    return module;
}

PyRef attribute(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!value) throw PyError::fetch();
    return value;
}

// Runs Python code (the imports), and sets nothing the process shares.
Binding bind_once() {
    PyRef numpy = import("numpy");
    PyRef version = attribute(numpy.get(), "__version__");
    PyRef lib = import("numpy.lib");
    PyRef numpy_version = attribute(lib.get(), "NumpyVersion");
    PyRef parsed = PyRef::steal(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
    if (!parsed) throw PyError::fetch();
    PyRef major_object = attribute(parsed.get(), "major");
    const long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) throw PyError::fetch();
    if (major < 0 || major > 255) {
        throw PyError::made(PyExc_OverflowError, "out of range integral type conversion attempted");
    }

#if NPY_ABI_VERSION < 0x02000000
    // Built against NumPy 1.x headers (a distribution's own NumPy), which know
    // only the 1.x descriptor layout: item sizes read under NumPy 2 would be wrong.
    if (major >= 2) {
        throw PyError::made(PyExc_ImportError, "ostrel_py was built against NumPy 1.x and needs NumPy 1.x at run time");
    }
#endif

    Binding result;
    result.multiarray = import(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    result.capsule = attribute(result.multiarray.get(), "_ARRAY_API");
    if (!PyCapsule_CheckExact(result.capsule.get())) throw downcast_error(result.capsule.get(), "PyCapsule");
    result.table = static_cast<void**>(PyCapsule_GetPointer(result.capsule.get(), nullptr));
    if (result.table == nullptr) throw PyError::fetch();
    return result;
}

}  // namespace

void bind_numpy() {
    if (binding.load(std::memory_order_acquire) != nullptr) return;
    std::unique_ptr<Binding> made;
    try {
        made = std::make_unique<Binding>(bind_once());
    } catch (const PyError& error) {
        panic_with(kCapsuleError, error);
    }
    // NumPy's macros read the table from PyArray_API: it is set once, by the
    // thread whose binding is kept, before that binding is published.
    const std::lock_guard held(binding_lock);
    if (binding.load(std::memory_order_relaxed) != nullptr) return;
    PyArray_API = made->table;
#if NPY_ABI_VERSION >= 0x02000000
    // Where a descriptor keeps its item size depends on the running NumPy.
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
#endif
    binding.store(made.release(), std::memory_order_release);
}

PyObject* numpy_multiarray() {
    bind_numpy();
    return binding.load(std::memory_order_acquire)->multiarray.get();
}

}  // namespace ostrel::python
