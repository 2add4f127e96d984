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
// Strided or unaligned samples are copied at once; contiguous, aligned ones
// are read where they lie, and never written.
class Samples {
public:
    explicit Samples(PyObject* array);
    Samples(const Samples&) = delete;
    Samples& operator=(const Samples&) = delete;

    // The array's length when the borrow was taken.
    std::size_t size() const noexcept { return size_; }

    // The samples in index order: where the array holds them, or the copy.
    // Read it only once the result's Python objects exist, and run no Python
    // code while it is in use: the array's memory is not ours to pin. Fatal
    // when the array changed its shape or place since the borrow was taken.
    std::span<const float> read();

private:
    PyObject* array_;  // borrowed: the caller keeps it alive
    ReadBorrow borrow_;
    std::size_t size_;
    std::vector<float> copy_;
    bool copied_ = false;
};

// A (rows, cols) float32 array over `data`, which the array's base object takes over.
PyRef make_float_array(Buffer<float> data, std::size_t rows, std::size_t cols);

}  // namespace ostrel::python
