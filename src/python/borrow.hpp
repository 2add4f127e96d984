// The array-borrow registry shared with other extension modules of the process.
//
// It lives as a capsule on NumPy's multiarray module so that every module that
// lends out arrays sees every other module's borrows. A module finds it there,
// or installs its own when there is none yet.
#pragma once

#include <Python.h>

#include <compare>
#include <cstdint>

#include "python/numpy.hpp"
#include "python/pyref.hpp"

namespace ostrel::python {

// Finds the registry, or installs the module's own, once per process: this
// may run Python code, taking a borrow afterwards runs none.
void bind_borrow_registry();

// What part of memory an array can reach: [start, end) and the steps it takes.
struct BorrowKey {
    std::intptr_t start;
    std::intptr_t end;
    std::intptr_t data;
    std::intptr_t gcd_strides;
    auto operator<=>(const BorrowKey&) const = default;
};

// A read borrow of the samples a description holds, given back when it goes
// out of scope under what was taken, whatever the array has become since.
// Taking it runs no Python code, except another module's registry's own.
class ReadBorrow {
public:
    explicit ReadBorrow(const Float32Vector& vector);
    ~ReadBorrow();
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;

private:
    // The module's own registry: the entry the borrow was recorded under.
    bool own_ = false;
    void* base_ = nullptr;
    BorrowKey key_{};
    // Another module's registry, which works out its key from the array it
    // is given: a private view of the described samples, which no other
    // thread can change.
    PyRef view_;
};

}  // namespace ostrel::python
