// Binding of vector-call arguments to parameters, with CPython's messages,
// and the conversion of each kind of parameter.
#include "python/args.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "support/float_mode.hpp"

namespace ostrel::python {

namespace {

[[noreturn]] void type_error(std::string message) { throw PyError::made(PyExc_TypeError, std::move(message)); }

std::string quoted_list(std::span<const char* const> names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) list += ",";
            if (i + 1 == names.size()) list += " and";
            list += " ";
        }
        list += "'";
        list += names[i];
        list += "'";
    }
    return list;
}

// Runs one conversion step and names the parameter in an exact TypeError.
template <class Step>
auto converting(const char* name, Step&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const PyError& error) {
        if (!error.is_exact_type_error()) throw;
        throw named_type_error(error, name);
    }
}

// Single precision from double, to nearest; values beyond the float range
// become infinities (a plain cast would be undefined there).
float narrow(double value) {
    constexpr double kFirstOverflow = 0x1.ffffffp+127;  // halfway past the largest float
    if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
    if (std::fabs(value) >= kFirstOverflow) {
        return std::signbit(value) ? -std::numeric_limits<float>::infinity()
                                   : std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}

}  // namespace

namespace {

// "f() takes 3 positional arguments but 4 were given", or "from 3 to 4".
[[noreturn]] void too_many_positional(const Signature& signature, std::size_t given) {
    const std::size_t count = signature.parameters.size();
    std::string message = std::string(signature.function) + "() takes ";
    if (signature.required == count) {
        message += std::to_string(count);
    } else {
        message += "from " + std::to_string(signature.required) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    type_error(std::move(message));
}

// The parameter a keyword names; an unknown keyword is a TypeError.
std::size_t keyword_index(const Signature& signature, PyObject* keyword) {
    const std::size_t count = signature.parameters.size();
    if (PyUnicode_Check(keyword)) {
        for (std::size_t p = 0; p < count; ++p) {
            if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[p]) == 0) return p;
        }
    }
    // str() of the keyword goes into the message as a str object: a name
    // need not be encodable as UTF-8 to be reported.
    PyRef message = PyRef::steal(
        PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", signature.function, keyword));
    if (!message) throw PyError::fetch();
    throw PyError::made(PyExc_TypeError, std::move(message));
}

// "f() missing 2 required positional arguments: 'a' and 'b'", for the
// required parameters no argument reached.
void check_required(const Signature& signature, std::span<PyObject*> slots) {
    // As many names as the signature has, however many that is.
    std::vector<const char*> missing;
    for (std::size_t p = 0; p < signature.required; ++p) {
        if (slots[p] == nullptr) missing.push_back(signature.parameters[p]);
    }
    const std::size_t missing_count = missing.size();
    if (missing_count > 0) {
        type_error(std::string(signature.function) + "() missing " + std::to_string(missing_count) +
                   " required positional argument" + (missing_count == 1 ? "" : "s") + ": " +
                   quoted_list(std::span(missing.data(), missing_count)));
    }
}

}  // namespace

void bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> slots) {
    if (slots.size() != signature.parameters.size() || signature.required > slots.size()) {
        panic("bind: the slots do not match the signature");
    }
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (given > signature.parameters.size()) too_many_positional(signature, given);
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];

    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        const std::size_t index = keyword_index(signature, PyTuple_GetItem(kwnames, k));  // borrowed
        if (slots[index] != nullptr) {
            type_error(std::string(signature.function) + "() got multiple values for argument '" +
                       signature.parameters[index] + "'");
        }
        slots[index] = args[nargs + k];
    }
    check_required(signature, slots);
}

std::span<const std::uint8_t> to_bytes_view(PyObject* object, const char* name) {
    return converting(name, [&] {
        if (!PyBytes_Check(object)) throw downcast_error(object, "PyBytes");
        const char* data = PyBytes_AsString(object);
        if (data == nullptr) throw PyError::fetch();
        const Py_ssize_t size = PyBytes_Size(object);
        if (size < 0) throw PyError::fetch();
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data),
                                             static_cast<std::size_t>(size));
    });
}

std::uint64_t to_u64(PyObject* object, const char* name) {
    return converting(name, [&] {
        PyRef index;
        if (!PyLong_Check(object)) {
            index = PyRef::steal(PyNumber_Index(object));
            if (!index) throw PyError::fetch();
            object = index.get();
        }
        const unsigned long long value = PyLong_AsUnsignedLongLong(object);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyError::fetch();
        return static_cast<std::uint64_t>(value);
    });
}

std::uint32_t to_u32(PyObject* object, const char* name) {
    return converting(name, [&] {
        const long value = PyLong_AsLong(object);
        if (value == -1 && PyErr_Occurred()) throw PyError::fetch();
        if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<std::uint32_t>::max()) {
            throw PyError::made(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        return static_cast<std::uint32_t>(value);
    });
}

std::optional<ScaleArgument> to_scale(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return converting(name, [&]() -> std::optional<ScaleArgument> {
        if (!PyTuple_Check(object)) throw downcast_error(object, "PyTuple");
        const Py_ssize_t length = PyTuple_Size(object);
        if (length != 2) {
            throw PyError::made(PyExc_ValueError,
                                "expected tuple of length 2, but got tuple of length " + std::to_string(length));
        }
        PyObject* factor_object = PyTuple_GetItem(object, 0);  // borrowed
        const double factor = PyFloat_AsDouble(factor_object);
        if (factor == -1.0 && PyErr_Occurred()) throw PyError::fetch();
        PyObject* filter_object = PyTuple_GetItem(object, 1);  // borrowed
        if (!PyUnicode_Check(filter_object)) throw downcast_error(filter_object, "PyString");
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(filter_object, &size);
        if (data == nullptr) throw PyError::fetch();
        // __float__ may have left another mode behind: the scale is narrowed
        // in the defined one.
        enter_defined_float_mode();
        return ScaleArgument{narrow(float_mode_fence(factor)), std::string_view(data, static_cast<std::size_t>(size))};
    });
}

}  // namespace ostrel::python
