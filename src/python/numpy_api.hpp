// NumPy's C API headers, set up for the module's own lazy binding: the API
// table pointer is filled from the `_ARRAY_API` capsule at first array use
// instead of by import_array() at module import.
#pragma once

#ifndef OSTREL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#define PY_ARRAY_UNIQUE_SYMBOL ostrel_py_ARRAY_API
#include <Python.h>
#include <numpy/arrayobject.h>

namespace ostrel::python {
// Makes sure the API table is bound before any NumPy macro is used.
void bind_numpy();
}  // namespace ostrel::python
