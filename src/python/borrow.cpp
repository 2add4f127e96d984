// The array-borrow registry shared through a capsule on NumPy's multiarray
// module: found or installed, and a read borrow taken and given back.
#include "python/borrow.hpp"

#include "python/numpy_api.hpp"

#include <atomic>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <string>

#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "python/threads.hpp"

namespace ostrel::python {

namespace {

constexpr const char* kRegistryName = "_RUST_NUMPY_BORROW_CHECKING_API";
constexpr const char* kRegistryError = "Interal borrow checking API error";

// The record other modules read through the capsule; its layout is fixed.
struct Shared {
    std::uint64_t version;
    void* flags;
    int (*acquire)(void* flags, PyArrayObject* array);
    int (*acquire_mut)(void* flags, PyArrayObject* array);
    void (*release)(void* flags, PyArrayObject* array);
    void (*release_mut)(void* flags, PyArrayObject* array);
};

using Borrows = std::map<BorrowKey, std::intptr_t>;  // count > 0: readers; -1: one writer
// An ordered map: a hash map's growth policy would bring a C library maths
// call (ceilf) into the module for nothing.
using BorrowFlags = std::map<void*, Borrows>;

// The state of a registry the module installs, which the record's `flags`
// points to.
struct Registry {
    BorrowFlags flags;
};

// Taken by each function of a registry the module installs, since other
// modules call them from any thread; only the free-threaded build needs it:
// with the GIL, other modules call them holding it, as the module does.
Lock registry_lock;

// Arrays that are views of one another share the address of their root owner.
void* base_address(PyArrayObject* array) {
    for (;;) {
        PyObject* base = PyArray_BASE(array);
        if (base == nullptr) return array;
        if (!PyArray_Check(base)) return base;
        array = reinterpret_cast<PyArrayObject*>(base);
    }
}

BorrowKey borrow_key(std::intptr_t data, int ndim, const npy_intp* dims, const npy_intp* strides,
                     std::intptr_t item_size) {
    std::intptr_t gcd = 0;
    bool empty = false;
    std::intptr_t low = data;
    std::intptr_t high = data + item_size;
    for (int axis = 0; axis < ndim; ++axis) {
        gcd = std::gcd(gcd, static_cast<std::intptr_t>(strides[axis]));
        if (dims[axis] == 0) {
            empty = true;
            continue;
        }
        const std::intptr_t extent = static_cast<std::intptr_t>(strides[axis]) * (dims[axis] - 1);
        if (extent < 0) {
            low += extent;
        } else {
            high += extent;
        }
    }
    if (ndim == 0) gcd = 1;
    if (empty) low = high = data;
    return BorrowKey{low, high, data, gcd};
}

BorrowKey borrow_key(PyArrayObject* array) {
    return borrow_key(reinterpret_cast<std::intptr_t>(PyArray_DATA(array)), PyArray_NDIM(array), PyArray_DIMS(array),
                      PyArray_STRIDES(array), static_cast<std::intptr_t>(PyArray_ITEMSIZE(array)));
}

BorrowKey borrow_key(const Float32Vector& vector) {
    const auto length = static_cast<npy_intp>(vector.length);
    const auto stride = static_cast<npy_intp>(vector.stride);
    return borrow_key(reinterpret_cast<std::intptr_t>(vector.data), 1, &length, &stride, sizeof(float));
}

bool conflicts(const BorrowKey& a, const BorrowKey& b) {
    if (!(a.start < b.end && b.start < a.end)) return false;
    const std::intptr_t divisor = std::gcd(a.gcd_strides, b.gcd_strides);
    const std::intptr_t distance = a.data > b.data ? a.data - b.data : b.data - a.data;
    return divisor == 0 ? distance == 0 : distance % divisor == 0;
}

void forget_if_empty(BorrowFlags& flags, BorrowFlags::iterator entry) {
    if (entry->second.empty()) flags.erase(entry);
}

// The rules of the registry on one base's borrows, under registry_lock. A
// borrow is recorded under the key it is given back with. Running out of
// memory throws std::bad_alloc and leaves the state as it was.
int acquire_read(BorrowFlags& flags, void* base, const BorrowKey& key) {
    auto entry = flags.try_emplace(base).first;
    Borrows& borrows = entry->second;
    if (auto found = borrows.find(key); found != borrows.end()) {
        if (found->second < 0 || found->second == std::numeric_limits<std::intptr_t>::max()) return -1;
        ++found->second;
        return 0;
    }
    for (const auto& [other, count] : borrows) {
        if (count < 0 && conflicts(key, other)) {
            forget_if_empty(flags, entry);
            return -1;
        }
    }
    try {
        borrows.emplace(key, 1);
    } catch (const std::bad_alloc&) {
        forget_if_empty(flags, entry);
        throw;
    }
    return 0;
}

int acquire_write(BorrowFlags& flags, void* base, const BorrowKey& key) {
    auto entry = flags.try_emplace(base).first;
    Borrows& borrows = entry->second;
    if (borrows.contains(key)) return -1;
    for (const auto& [other, count] : borrows) {
        if (count != 0 && conflicts(key, other)) {
            forget_if_empty(flags, entry);
            return -1;
        }
    }
    try {
        borrows.emplace(key, -1);
    } catch (const std::bad_alloc&) {
        forget_if_empty(flags, entry);
        throw;
    }
    return 0;
}

void release_read(BorrowFlags& flags, void* base, const BorrowKey& key) noexcept {
    auto entry = flags.find(base);
    if (entry == flags.end()) return;
    auto found = entry->second.find(key);
    if (found == entry->second.end()) return;
    if (--found->second <= 0) entry->second.erase(found);
    forget_if_empty(flags, entry);
}

void release_write(BorrowFlags& flags, void* base, const BorrowKey& key) noexcept {
    auto entry = flags.find(base);
    if (entry == flags.end()) return;
    entry->second.erase(key);
    forget_if_empty(flags, entry);
}

BorrowFlags& state_of(void* flags) noexcept { return static_cast<Registry*>(flags)->flags; }

// The record's functions, called through C pointers by any module of the
// process, with keys worked out from the arrays they are given. Nothing may
// escape them, so running out of memory refuses the borrow, the one refusal
// their callers know.
int acquire_shared(void* flags, PyArrayObject* array) noexcept {
    const std::lock_guard held(registry_lock);
    try {
        return acquire_read(state_of(flags), base_address(array), borrow_key(array));
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

int acquire_exclusive(void* flags, PyArrayObject* array) noexcept {
    const std::lock_guard held(registry_lock);
    if (!PyArray_ISWRITEABLE(array)) return -2;
    try {
        return acquire_write(state_of(flags), base_address(array), borrow_key(array));
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

void release_shared(void* flags, PyArrayObject* array) noexcept {
    const std::lock_guard held(registry_lock);
    release_read(state_of(flags), base_address(array), borrow_key(array));
}

void release_exclusive(void* flags, PyArrayObject* array) noexcept {
    const std::lock_guard held(registry_lock);
    release_write(state_of(flags), base_address(array), borrow_key(array));
}

void destroy_registry(PyObject* capsule) {
    auto* shared = static_cast<Shared*>(PyCapsule_GetPointer(capsule, kRegistryName));
    if (shared == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<Registry*>(shared->flags);
    delete shared;
}

// The value `dict` holds under `key`: the one stored first. With the GIL no
// Python code runs between the look-up and the store, so no other thread
// stores in between; the free-threaded build has the dictionary do both at once.
PyRef stored_first(PyObject* dict, const char* key, PyRef value) {
    PyRef name = PyRef::steal(PyUnicode_FromString(key));
    if (!name) throw PyError::fetch();
#ifdef Py_GIL_DISABLED
    PyObject* kept = nullptr;
    if (PyDict_SetDefaultRef(dict, name.get(), value.get(), &kept) < 0) throw PyError::fetch();
    return PyRef::steal(kept);
#else
    if (PyObject* found = PyDict_GetItemWithError(dict, name.get())) return PyRef::borrow(found);
    if (PyErr_Occurred()) throw PyError::fetch();
    if (PyDict_SetItem(dict, name.get(), value.get()) < 0) throw PyError::fetch();
    return value;
#endif
}

// The registry on `multiarray`: the module's own, or the one another thread
// or module stored meanwhile.
PyRef install_registry(PyObject* multiarray) {
    auto* shared = new Shared{1, new Registry(), acquire_shared, acquire_exclusive, release_shared,
                              release_exclusive};
    PyRef capsule = PyRef::steal(PyCapsule_New(shared, kRegistryName, destroy_registry));
    if (!capsule) {
        delete static_cast<Registry*>(shared->flags);
        delete shared;
        throw PyError::fetch();
    }
    PyObject* dict = PyModule_GetDict(multiarray);  // borrowed
    if (dict == nullptr) throw PyError::fetch();
    return stored_first(dict, kRegistryName, std::move(capsule));
}

const Shared* find_registry() {
    PyObject* multiarray = numpy_multiarray();
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray, kRegistryName));
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError::fetch();
        PyErr_Clear();
        capsule = install_registry(multiarray);
    }
    if (!PyCapsule_CheckExact(capsule.get())) throw downcast_error(capsule.get(), "PyCapsule");
    auto* shared = static_cast<const Shared*>(PyCapsule_GetPointer(capsule.get(), kRegistryName));
    if (shared == nullptr) throw PyError::fetch();
    if (shared->version < 1) {
        throw PyError::made(PyExc_TypeError, "Version " + std::to_string(shared->version) +
                                                 " of borrow checking API is not supported by this version of "
                                                 "rust-numpy");
    }
    // The capsule stays referenced for the life of the process, so the record does too.
    capsule.release();
    return shared;
}

// Found once and kept for the life of the process (threads.hpp).
std::atomic<const Shared*> found_registry{nullptr};

const Shared& registry() {
    if (const Shared* kept = found_registry.load(std::memory_order_acquire)) return *kept;
    try {
        return *keep_first(found_registry, find_registry());
    } catch (const PyError& error) {
        panic_with(kRegistryError, error);
    }
}

}  // namespace

void bind_borrow_registry() { registry(); }

namespace {

// A read-only array of the described samples over the array's memory, based
// on the array, so that a registry finds the same root owner for both.
// NumPy arrays are not tracked by the collector: making one runs no Python code.
PyRef private_view(const Float32Vector& vector) {
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT32);
    if (descr == nullptr) throw PyError::fetch();
    npy_intp dims[1] = {static_cast<npy_intp>(vector.length)};
    npy_intp strides[1] = {static_cast<npy_intp>(vector.stride)};
    // The descriptor reference is stolen, even on failure.
    PyRef view = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides,
                                                   const_cast<char*>(vector.data), 0, nullptr));
    if (!view) throw PyError::fetch();
    // The base reference is stolen, even on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), Py_NewRef(vector.array)) < 0) {
        throw PyError::fetch();
    }
    return view;
}

}  // namespace

ReadBorrow::ReadBorrow(const Float32Vector& vector) {
    const Shared& shared = registry();
    int code = 0;
    if (shared.acquire == acquire_shared) {
        // The module's own: recorded under the description's key, and
        // running out of memory is a MemoryError.
        base_ = base_address(reinterpret_cast<PyArrayObject*>(vector.array));
        key_ = borrow_key(vector);
        const std::lock_guard held(registry_lock);
        code = acquire_read(state_of(shared.flags), base_, key_);
        own_ = code == 0;
    } else {
        PyRef view = private_view(vector);
        code = shared.acquire(shared.flags, reinterpret_cast<PyArrayObject*>(view.get()));
        if (code == 0) view_ = std::move(view);
    }
    if (code == 0) return;
    if (code == -1) panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
    panic("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

ReadBorrow::~ReadBorrow() {
    const Shared& shared = registry();
    if (own_) {
        const std::lock_guard held(registry_lock);
        release_read(state_of(shared.flags), base_, key_);
    } else if (view_) {
        shared.release(shared.flags, reinterpret_cast<PyArrayObject*>(view_.get()));
    }
}

}  // namespace ostrel::python
