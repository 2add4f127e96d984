// The array-borrow registry shared with other extension modules of the process.
//
// It lives as a capsule on NumPy's multiarray module so that every module that
// lends out arrays sees every other module's borrows. A module finds it there,
// or installs its own when there is none yet.
#pragma once

#include "python/numpy_api.hpp"

namespace ostrel::python {

// A read borrow of one array, given back when it goes out of scope.
class ReadBorrow {
public:
    explicit ReadBorrow(PyArrayObject* array);
    ~ReadBorrow();
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;

private:
    PyArrayObject* array_;  // borrowed: the caller keeps it alive
};

}  // namespace ostrel::python
