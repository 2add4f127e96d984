// An owning reference to a Python object.
//
// Every strong reference the Python layer receives lives in a PyRef from the
// moment it is received, so that every exit path, an exception included,
// releases it.
#pragma once

#include <Python.h>

#include <utility>

namespace ostrel::python {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new (owned) reference; nullptr stays empty.
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (for returning a new reference to CPython).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    // A new reference to the same object.
    PyRef clone() const noexcept { return borrow(object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace ostrel::python
