// Binding of vector-call arguments to parameters, and conversion of each kind
// of parameter into a plain value.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ostrel::python {

struct Signature {
    const char* function;
    std::span<const char* const> parameters;
    std::size_t required;  // the leading parameters that must be given
};

// Places CPython's vector-call arguments into one slot per parameter, in
// parameter order. Slots hold borrowed references; nullptr means not given.
// Throws PyError with the binding messages.
void bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> slots);

template <std::size_t N>
std::array<PyObject*, N> bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    // Qualified: unqualified, argument-dependent lookup would also find
    // std::bind through std::array and prefer it wherever <functional> is seen.
    python::bind(signature, args, nargs, kwnames, std::span<PyObject*>(slots));
    return slots;
}

// The conversions below throw PyError; a failure that is exactly TypeError
// carries the "argument '<name>': " prefix.

// The bytes of a `bytes` object, read in place for the duration of the call.
std::span<const std::uint8_t> to_bytes_view(PyObject* object, const char* name);
std::uint64_t to_u64(PyObject* object, const char* name);
std::uint32_t to_u32(PyObject* object, const char* name);

struct ScaleArgument {
    float factor;
    std::string_view filter;  // UTF-8, valid while the argument object lives
};
// nullptr (not given) and None give no scale.
std::optional<ScaleArgument> to_scale(PyObject* object, const char* name);

}  // namespace ostrel::python
