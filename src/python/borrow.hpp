// The array-borrow registry shared with other extension modules of the process.
//
// It lives as a capsule on NumPy's multiarray module so that every module that
// lends out arrays sees every other module's borrows. A module finds it there,
// or installs its own when there is none yet.
#pragma once

#include <Python.h>

namespace ostrel::python {

// Finds the registry, or installs the module's own, once per process: this
// may run Python code, taking a borrow afterwards runs none.
void bind_borrow_registry();

// A read borrow of one array, given back when it goes out of scope.
class ReadBorrow {
public:
    // `array` must be a NumPy array.
    explicit ReadBorrow(PyObject* array);
    ~ReadBorrow();
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;

private:
    PyObject* array_;  // borrowed: the caller keeps it alive
};

}  // namespace ostrel::python
