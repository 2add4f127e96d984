// What the free-threaded build of CPython asks of the module and the GIL
// build does without (CONTRIBUTING.md, Threads).
//
// With the GIL, every call holds it from start to end: a stretch of code that
// runs no Python code is atomic, and process-wide state needs no lock of its
// own. A free-threaded CPython runs calls on several threads at once. There
// Lock is a PyMutex, which parks a waiting thread detached from the
// interpreter, and Detached detaches the calling thread while a call runs the
// numeric core, which touches no Python object, so that the interpreter can
// stop the world (its collector does) without waiting for the call.
#pragma once

#include <Python.h>

#include <atomic>

namespace ostrel::python {

// Hold it only over code that runs no Python code: with the GIL that code is
// atomic anyway, and taking the lock does nothing.
class Lock {
public:
    void lock() noexcept {
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&mutex_);
#endif
    }
    void unlock() noexcept {
#ifdef Py_GIL_DISABLED
        PyMutex_Unlock(&mutex_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyMutex mutex_ = {};
#endif
};

// The calling thread detached from the interpreter while this lives, in the
// free-threaded build: no Python object may be touched meanwhile, nor a
// PyError made. With the GIL the call keeps holding it.
class Detached {
public:
#ifdef Py_GIL_DISABLED
    Detached() noexcept : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
#else
    Detached() noexcept {}
#endif
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyThreadState* state_;
#endif
};

// A process-wide object made at first need: threads that race to make it
// each make one, and the first stored is kept for the life of the process.
// Stores `made` in `slot` unless another thread stored first, and returns
// what the slot holds.
template <class T>
T* keep_first(std::atomic<T*>& slot, T* made) noexcept {
    T* kept = nullptr;
    return slot.compare_exchange_strong(kept, made, std::memory_order_acq_rel) ? made : kept;
}

// The same for an object that `made` owns (a PyRef, a unique_ptr), which
// drops it when another was stored first.
template <class T, class Owner>
T* keep_first(std::atomic<T*>& slot, Owner made) noexcept {
    T* kept = keep_first(slot, made.get());
    if (kept == made.get()) made.release();
    return kept;
}

}  // namespace ostrel::python
