// Exchange of NumPy arrays: reading input sample arrays, and output arrays
// over the module's own buffers (the binding to NumPy is numpy_api.hpp's).
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "python/borrow.hpp"
#include "python/pyref.hpp"
#include "support/buffer.hpp"

namespace ostrel::python {

// True when `object` is a one-dimensional NumPy array of native float32.
bool is_float32_vector(PyObject* object);

// The samples of a one-dimensional float32 array (the caller has checked
// it), under a read borrow of the shared registry held while this lives.
// Strided or unaligned samples are copied; contiguous, aligned ones are read
// where they lie, and never written.
//
// Make it only once every Python object the call needs exists, and run no
// Python code while it lives (no allocation of a Python object, no decref
// that may run a finalizer): the array then cannot change between the
// borrow and its release, so the samples stay where they were found and the
// borrow is given back under the key it was taken with.
class Samples {
public:
    explicit Samples(PyObject* array);
    Samples(const Samples&) = delete;
    Samples& operator=(const Samples&) = delete;

    // Whether a one-dimensional float32 array's samples are copied when read.
    static bool copied(PyObject* array);

    // The samples in index order: where the array holds them, or the copy.
    std::span<const float> read() const noexcept { return samples_; }

private:
    ReadBorrow borrow_;
    std::vector<float> copy_;
    std::span<const float> samples_;
};

// The length of a one-dimensional array.
std::size_t vector_length(PyObject* array);

// A (rows, cols) float32 array over `data`, which the array's base object takes over.
PyRef make_float_array(Buffer<float> data, std::size_t rows, std::size_t cols);

}  // namespace ostrel::python
