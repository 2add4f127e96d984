// Exchange of NumPy arrays: reading input sample arrays, and output arrays
// over the module's own buffers (the binding to NumPy is numpy_api.hpp's).
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "python/pyref.hpp"
#include "support/buffer.hpp"

namespace ostrel::python {

// A one-dimensional float32 array as it was described once. Every step of a
// call that uses the array (the plan, the borrow and its release, the copy)
// uses these values, never the array's own fields: without the GIL another
// thread may change those at any moment (its shape, its dtype), and a
// finalizer may with the GIL. The memory described stays the array's until
// the array is resized or freed, which the caller's reference prevents short
// of a resize that skips NumPy's reference check.
struct Float32Vector {
    PyObject* array;  // borrowed: the caller holds it
    const char* data;
    std::size_t length;
    std::ptrdiff_t stride;  // in bytes: negative, or not a multiple of 4, alike

    // Whether reading copies the samples: strided or unaligned ones are.
    bool copied() const noexcept;
    // The samples in index order: where the array holds them, or gathered
    // into `copy`. Touches no Python object.
    std::span<const float> samples(std::vector<float>& copy) const;
};

// The description of `object` when it is a one-dimensional NumPy array of
// native float32, nullopt when it is not.
std::optional<Float32Vector> describe_float32_vector(PyObject* object);

// A (rows, cols) float32 array over `data`, which the array's base object takes over.
PyRef make_float_array(Buffer<float> data, std::size_t rows, std::size_t cols);

}  // namespace ostrel::python
