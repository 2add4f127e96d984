// The binding to NumPy's C API, the lowest layer of python/: the borrow
// registry and the array exchange build on it. NumPy's headers are set up for
// the module's own lazy binding: the API table pointer is filled from the
// `_ARRAY_API` capsule at first array use instead of by import_array() at
// module import.
#pragma once

#ifndef OSTREL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#define PY_ARRAY_UNIQUE_SYMBOL ostrel_py_ARRAY_API
#include <Python.h>
#include <numpy/arrayobject.h>

namespace ostrel::python {

// Makes sure the API table is bound before any NumPy macro is used; a
// failure is an internal error.
void bind_numpy();

// NumPy's multiarray module ("numpy._core.multiarray", or "numpy.core.multiarray"
// under NumPy 1.x), as the binding imported it; borrowed, kept for the life
// of the process. Binds to NumPy on first use.
PyObject* numpy_multiarray();

}  // namespace ostrel::python
