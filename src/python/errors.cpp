// PyError, the report and raising of internal errors as PanicException, and
// the errors the conversions raise.
#include "python/errors.hpp"

#include <sys/prctl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "python/threads.hpp"

namespace ostrel::python {

namespace {

constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";

// repr() of an object as UTF-8, for the report of an internal error; code
// points UTF-8 cannot hold (lone surrogates) are written as escapes.
std::string repr_text(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Repr(object));
    PyRef bytes = PyRef::steal(text ? PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace") : nullptr);
    if (!bytes) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

}  // namespace

PyError PyError::made(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return fetch();  // MemoryError
    return made(type, std::move(text));
}

PyError PyError::made(PyObject* type, PyRef message) {
    PyError error;
    error.type_ = PyRef::borrow(type);
    error.message_ = std::move(message);
    error.made_ = true;
    return error;
}

PyError PyError::fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return made(PyExc_SystemError, kNoExceptionSet);
    }
    PyError error;
    error.type_ = PyRef::steal(type);
    error.value_ = PyRef::steal(value);
    error.traceback_ = PyRef::steal(traceback);
    return error;
}

PyError PyError::from_instance(PyRef instance) {
    PyError error;
    error.type_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
    error.value_ = std::move(instance);
    return error;
}

bool PyError::is_exact_type_error() const noexcept { return type_.get() == PyExc_TypeError; }

void PyError::normalise() const {
    if (made_) {
        if (!value_) {
            value_ = PyRef::steal(PyObject_CallFunctionObjArgs(type_.get(), message_.get(), nullptr));
            if (!value_) PyErr_Clear();
        }
        return;
    }
    PyObject* type = type_.get();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    Py_INCREF(type);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    value_ = PyRef::steal(value);
    traceback_ = PyRef::steal(traceback);
}

PyRef PyError::text() const {
    if (made_) return message_.clone();
    normalise();
    PyRef text = PyRef::steal(value_ ? PyObject_Str(value_.get()) : PyUnicode_FromString(""));
    if (!text) {
        PyErr_Clear();
        text = PyRef::steal(PyUnicode_FromString("<unprintable>"));
        if (!text) throw PyError::fetch();
    }
    return text;
}

std::string PyError::debug_text() const {
    normalise();
    return repr_text(value_ ? value_.get() : type_.get());
}

PyRef PyError::cause() const {
    if (made_) return PyRef();
    normalise();
    if (!value_ || !PyExceptionInstance_Check(value_.get())) return PyRef();
    return PyRef::steal(PyException_GetCause(value_.get()));
}

void PyError::restore() && {
    if (made_) {
        PyErr_SetObject(type_.get(), message_.get());
        return;
    }
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

PyError named_type_error(const PyError& error, const char* name) {
    // Formatted from the str object itself: its text need not be valid UTF-8.
    PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, error.text().get()));
    if (!text) throw PyError::fetch();
    PyRef instance = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    if (!instance) throw PyError::fetch();
    if (PyRef cause = error.cause()) PyException_SetCause(instance.get(), cause.release());
    return PyError::from_instance(std::move(instance));
}

void panic_with(const char* what, const PyError& error, std::source_location location) {
    throw Panic{std::string(what) + ": " + error.debug_text(), location};
}

PyError downcast_error(PyObject* object, const char* target) {
    // The type's name goes in as the str object it is, whatever its code points.
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name = PyRef::steal(PyUnicode_FromString("<failed to extract type name>"));
        if (!name) return PyError::fetch();
    }
    PyRef message = PyRef::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target));
    if (!message) return PyError::fetch();
    return PyError::made(PyExc_TypeError, std::move(message));
}

namespace detail {

namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when an internal check of ostrel_py fails.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The file of a failed check, from the source tree's root on.
std::string_view short_file(const char* file) {
    std::string_view path(file);
    auto at = path.rfind("/src/");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

// Created at first use and kept for the life of the process (threads.hpp).
std::atomic<PyObject*> panic_class{nullptr};

PyObject* panic_exception_class() {
    if (PyObject* kept = panic_class.load(std::memory_order_acquire)) return kept;
    PyRef made = PyRef::steal(
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
    if (!made) {
        std::fputs("Failed to initialize new exception type.\n", stderr);
        std::abort();
    }
    return keep_first(panic_class, std::move(made));
}

void report(const Panic& panic) {
    // The calling thread's name as the kernel keeps it (at most 15 bytes),
    // read the way every glibc can: pthread_getname_np binds to a symbol of
    // glibc 2.34 when built against that or newer, and would raise the
    // oldest C library the module loads on.
    char name[16] = {};
    if (prctl(PR_GET_NAME, name) != 0) name[0] = '\0';
    auto file = short_file(panic.location.file_name());
    std::fprintf(stderr,
                 "ostrel_py: internal error in thread '%s' (native id %lu) at %.*s:%u:%u:\n%s\n"
                 "note: to see where it came from, run the process under gdb with "
                 "'catch throw' and take a backtrace\n",
                 name, PyThread_get_thread_native_id(), static_cast<int>(file.size()), file.data(),
                 static_cast<unsigned>(panic.location.line()), static_cast<unsigned>(panic.location.column()),
                 panic.message.c_str());
    std::fflush(stderr);
}

}  // namespace

void raise_panic(const Panic& panic) noexcept {
    // A second internal error while the first is being turned into an exception
    // leaves no safe way back into the interpreter.
    try {
        report(panic);
        PyObject* cls = panic_exception_class();
        PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
            panic.message.data(), static_cast<Py_ssize_t>(panic.message.size()), "replace"));
        if (!message) return;  // MemoryError is set.
        PyErr_SetObject(cls, message.get());
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

void raise_memory_error() noexcept { PyErr_NoMemory(); }

}  // namespace detail

}  // namespace ostrel::python
