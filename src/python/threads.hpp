// What the free-threaded build of CPython asks of the module and the GIL
// build does without (CONTRIBUTING.md, Threads).
//
// With the GIL, every call holds it from start to end: a stretch of code that
// runs no Python code is atomic, and process-wide state needs no lock of its
// own. A free-threaded CPython runs calls on several threads at once. There
// Lock is a mutex that a fork leaves free in the child (support/fork.hpp),
// and Detached detaches the calling thread while a call runs the numeric
// core, which touches no Python object, so that the interpreter can stop the
// world (its collector and os.fork do) without waiting for the call.
#pragma once

#include <Python.h>

#include <atomic>

#include "support/fork.hpp"

namespace ostrel::python {

// Hold it only over code that runs no Python code and never detaches: with
// the GIL that code is atomic anyway, and taking the lock does nothing. A
// thread waits for it attached, but never for long, and the holder never
// waits for the interpreter. At namespace scope only, like ForkSafeMutex.
class Lock {
public:
    void lock() {
#ifdef Py_GIL_DISABLED
        mutex_.lock();
#endif
    }
    void unlock() noexcept {
#ifdef Py_GIL_DISABLED
        mutex_.unlock();
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    ForkSafeMutex mutex_;
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
