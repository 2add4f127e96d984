// Exchange of NumPy arrays: the lazy binding to NumPy's C API, reading input
// sample arrays, and output arrays over the module's own buffers.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "python/pyref.hpp"
#include "support/buffer.hpp"

namespace ostrel::python {

// "numpy._core" or "numpy.core", by the installed NumPy's major version.
// Binds to NumPy on first use; a failure is an internal error.
const std::string& numpy_core_name();

// True when `object` is a one-dimensional NumPy array of native float32.
bool is_float32_vector(PyObject* object);

// Copies the samples of a one-dimensional float32 array in index order, under
// a read borrow of the shared registry. The caller has checked the array.
std::vector<float> copy_samples(PyObject* array);

// A (rows, cols) float32 array over `data`, which the array's base object takes over.
PyRef make_float_array(Buffer<float> data, std::size_t rows, std::size_t cols);

}  // namespace ostrel::python
