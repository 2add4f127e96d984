// Failures that reach Python, and the call guard that raises them.
//
// A PyError is a Python exception waiting to be raised: either made by the
// module (a class and a message, turned into an instance only when raised, so
// that its args are the one-element tuple of the message) or taken over from
// CPython's error indicator. The Python layer throws it; the guard raises it.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "python/pyref.hpp"
#include "support/float_mode.hpp"
#include "support/panic.hpp"

namespace ostrel::python {

class PyError {
public:
    // A failure of the module's own: `type` is one of CPython's exception
    // classes, `message` UTF-8 text or a str object (which may hold any code
    // point, a lone surrogate included).
    static PyError made(PyObject* type, std::string_view message);
    static PyError made(PyObject* type, PyRef message);
    // Takes the exception CPython has set; SystemError when it set none.
    static PyError fetch();
    // An exception instance built here.
    static PyError from_instance(PyRef instance);

    bool is_exact_type_error() const noexcept;
    // str() of the exception as a str object; "<unprintable>" when str() fails.
    PyRef text() const;
    // A short account of the exception for the message of an internal error.
    std::string debug_text() const;
    // The __cause__ of the exception, if any.
    PyRef cause() const;
    // Sets the exception as CPython's error indicator.
    void restore() &&;

private:
    PyError() = default;
    void normalise() const;

    PyRef type_;
    mutable PyRef value_;
    mutable PyRef traceback_;
    PyRef message_;  // a str, for a failure made by the module
    bool made_ = false;
};

// The TypeError a caller sees when converting parameter `name` failed with an
// exact TypeError: its message gains the "argument '<name>': " prefix and it
// keeps the original's __cause__.
PyError named_type_error(const PyError& error, const char* name);

// The message of an internal error whose cause is a Python failure.
[[noreturn]] void panic_with(const char* what, const PyError& error,
                             std::source_location location = std::source_location::current());

// TypeError "'<type>' object cannot be converted to '<target>'".
PyError downcast_error(PyObject* object, const char* target);

namespace detail {
void raise_panic(const Panic& panic) noexcept;
void raise_memory_error() noexcept;
}  // namespace detail

// Runs one entry of the module and turns its outcome into what CPython expects:
// the new reference it returns, or NULL with the exception set. This is the only
// place where C++ exceptions become Python exceptions; none crosses into CPython.
// The caller's floating-point mode is given back once all of it is done,
// the exception made and set included (float_mode.hpp).
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    const FloatModeGuard float_mode;
    try {
        return body();
    } catch (PyError& error) {
        std::move(error).restore();
    } catch (const Panic& panic) {
        detail::raise_panic(panic);
    } catch (const std::bad_alloc&) {
        detail::raise_memory_error();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can address: out of memory.
        detail::raise_memory_error();
    } catch (const std::exception& other) {
        detail::raise_panic(Panic{other.what(), std::source_location::current()});
    }
    return nullptr;
}

}  // namespace ostrel::python
