// The ostrel_py module: its definition, function table, docstrings and the
// entry functions of its operations.
//
// Each entry binds and converts its arguments, runs the numeric core on plain
// values, and hands the result back as Python objects, all inside the call
// guard, which turns every failure into a Python exception.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "audio/transforms.hpp"
#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/numpy.hpp"
#include "python/pyref.hpp"
#include "python/threads.hpp"
#include "mask/record.hpp"
#include "mask/resize.hpp"
#include "support/float_mode.hpp"
#include "support/memory.hpp"

namespace ostrel {

namespace {

using python::PyError;
using python::PyRef;

// ---- docstrings: the first line is the text signature CPython reads ----

constexpr char kDummyFuncDoc[] =
    "dummy_func()\n"
    "--\n"
    "\n"
    "Dummy function for warmup.\n"
    "\n"
    "# Returns\n"
    "A dummy value of 0.";

constexpr char kReconstructMaskDoc[] =
    "reconstruct_mask(bytes, width, height, scale=None)\n"
    "--\n"
    "\n"
    "Reconstructs a grayscale mask from a serialized CompactMaskModel.\n"
    "\n"
    "# Arguments\n"
    "- `bytes` (`PyBytes`): The serialized CompactMaskModel.\n"
    "- `width` (`usize`): The width of the output image.\n"
    "- `height` (`usize`): The height of the output image.\n"
    "- `scale` (`f32`, 'str'): The scale to be resized and filtertype of resizing.\n"
    "\n"
    "## FilterType\n"
    "- NEAREST: \"nearest\" or \"lowest\"\n"
    "- LINEAR: \"linear\" or \"triangle\" or \"low\"\n"
    "- CATMULLROM: \"catmullrom\" or \"cubic\" or \"medium\"\n"
    "- GAUSSIAN: \"gaussian\" or \"high\"\n"
    "- LANZOS: \"lanzos\" or \"highest\"\n"
    "\n"
    "# Returns\n"
    "A `numpy.ndarray` representing the reconstructed mask.";

#define OSTREL_MEL_DOC(NAME, VERSION)                                                      \
    NAME "(wav, sample_rate)\n"                                                            \
         "--\n"                                                                            \
         "\n"                                                                              \
         "Converts a wav file to a mel spectrogram in bytes for the Voxmime " VERSION      \
         " model.\n"                                                                       \
         "\n"                                                                              \
         "# Arguments\n"                                                                   \
         "- `wav` (`numpy.ndarray`): The wav file as a numpy array.\n"                    \
         "- 'sample_rate' (`u32`): The sample rate of given wav. \n"                      \
         "\n"                                                                              \
         "# Returns\n"                                                                     \
         "A list of bytes representing the mel spectrogram."

constexpr char kMelV1Doc[] = OSTREL_MEL_DOC("vxmv1_melspectrogram", "V1");
constexpr char kMelV2Doc[] = OSTREL_MEL_DOC("vxmv2_melspectrogram", "V2");
#undef OSTREL_MEL_DOC

// ---- parameters ----

constexpr const char* kMaskParameters[] = {"bytes", "width", "height", "scale"};
constexpr const char* kMelParameters[] = {"wav", "sample_rate"};
constexpr python::Signature kReconstructMask{"reconstruct_mask", kMaskParameters, 3};
constexpr python::Signature kMelV1{"vxmv1_melspectrogram", kMelParameters, 2};
constexpr python::Signature kMelV2{"vxmv2_melspectrogram", kMelParameters, 2};

constexpr const char* kDeserializeError = "Failed to deserialize CompactMaskModel";
constexpr const char* kNotFloat32Array = "Expected a NumPy ndarray of type float32";

// ---- operations ----

PyObject* dummy_func(PyObject*, PyObject*) {
    return python::guarded([] { return PyLong_FromLong(0); });
}

// The mask of a record: drawn, or resized from its runs when a scale is
// given; nullopt for a record that cannot be read. Plain values only: it
// runs detached from the interpreter in the free-threaded build.
std::optional<mask::UnitFloatImage> reconstruct(std::span<const std::uint8_t> bytes, std::uint64_t width,
                                                std::uint64_t height, const std::optional<python::ScaleArgument>& scale) {
    // Without a resize the runs are drawn straight as the returned floats.
    if (!scale) return mask::decode_and_reconstruct_unit_floats(bytes, width, height);
    // A resize reads the record's runs and is refused for memory after the
    // record's own errors, before its result is made.
    return mask::reconstruct_resized(bytes, width, height, scale->factor, mask::filter_from_name(scale->filter));
}

PyObject* reconstruct_mask(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        const auto slots = python::bind<4>(kReconstructMask, args, nargs, kwnames);
        const auto bytes = python::to_bytes_view(slots[0], "bytes");
        const std::uint64_t width = python::to_u64(slots[1], "width");
        const std::uint64_t height = python::to_u64(slots[2], "height");
        const auto scale = python::to_scale(slots[3], "scale");
        // The conversions may have run Python code (__index__, __float__);
        // none runs from here until the result is made.
        enter_defined_float_mode();

        std::optional<mask::UnitFloatImage> values;
        {
            // The bytes and the filter's name stay where they are: the
            // caller holds the objects, and neither can change.
            const python::Detached detached;
            values = reconstruct(bytes, width, height, scale);
        }
        if (!values) throw PyError::made(PyExc_ValueError, kDeserializeError);
        const auto rows = static_cast<std::size_t>(values->height);
        const auto cols = static_cast<std::size_t>(values->width);
        return python::make_float_array(std::move(values->data), rows, cols).release();
    });
}

// An upper bound on what a bytes object of one window takes from the heap
// besides its 5120 bytes (the object's header, the allocator's own), the
// list's reference to it, which may be held twice while the list grows, and
// the address of its bytes kept for the transform.
constexpr std::uint64_t kWindowObjectOverhead = 128;

python::Float32Vector described_or_refused(PyObject* wav) {
    std::optional<python::Float32Vector> vector = python::describe_float32_vector(wav);
    if (!vector) throw PyError::made(PyExc_TypeError, kNotFloat32Array);
    return *vector;
}

// Refuses, before anything large is made or copied, a call whose windows,
// copy of strided samples and transform (the 16 kHz samples) do not fit.
void refuse_unless_it_fits(const python::Float32Vector& wav, const audio::TransformPlan& plan) {
    std::uint64_t need = multiply_bytes(plan.windows, audio::kWindowBytes + kWindowObjectOverhead);
    if (wav.copied()) need = add_bytes(need, multiply_bytes(wav.length, sizeof(float)));
    need = add_bytes(need, audio::transform_memory_bound(plan));
    if (fits_in_memory(need)) return;
    // A borrow that cannot be had is reported first, as for a call that fits.
    { const python::ReadBorrow probe(wav); }
    throw std::bad_alloc();
}

// One bytes object a window, appended to `list`, and where each one's bytes
// lie, for the transform to write them in place. Neither a bytes object nor
// a list's growth runs the collector, so no Python code runs here.
std::vector<std::uint8_t*> append_windows(PyObject* list, std::uint64_t windows) {
    std::vector<std::uint8_t*> window_bytes(static_cast<std::size_t>(windows));
    for (std::uint8_t*& bytes : window_bytes) {
        PyRef item = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(audio::kWindowBytes)));
        if (!item || PyList_Append(list, item.get()) < 0) throw PyError::fetch();
        bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(item.get()));
    }
    return window_bytes;
}

// The steps of a call: describe the array, check it, plan, borrow, compute
// into the result's objects, give the borrow back.
PyObject* melspectrogram(const python::Signature& signature, audio::ModelVersion version, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        const auto slots = python::bind<2>(signature, args, nargs, kwnames);
        const std::uint32_t sample_rate = python::to_u32(slots[1], "sample_rate");
        const audio::Audio2MelSpectrogram transformer(version);
        // A refusal comes before anything the borrow needs is made.
        described_or_refused(slots[0]);
        python::bind_borrow_registry();
        // The list is the last object made that may run the collector, and
        // with it finalizers that may change the array: the array is
        // described after it, and every later step uses that description.
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) throw PyError::fetch();
        const python::Float32Vector wav = described_or_refused(slots[0]);

        // Every step above may have run Python code (the sample rate's
        // __index__, NumPy's import, finalizers): the plan is computed in the
        // defined mode.
        enter_defined_float_mode();
        const audio::TransformPlan plan = audio::plan_transform(transformer.config(), wav.length, sample_rate);
        refuse_unless_it_fits(wav, plan);
        const std::vector<std::uint8_t*> windows = append_windows(list.get(), plan.windows);
        const python::ReadBorrow borrow(wav);
        if (plan.windows == 0) return list.release();
        // A registry installed by another module ran its own code.
        enter_defined_float_mode();
        const python::Detached detached;
        std::vector<float> copy;
        transformer.transform(wav.samples(copy), plan, [&](std::size_t k) { return windows[k]; });
        return list.release();
    });
}

PyObject* vxmv1_melspectrogram(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return melspectrogram(kMelV1, audio::ModelVersion::V1, args, nargs, kwnames);
}

PyObject* vxmv2_melspectrogram(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return melspectrogram(kMelV2, audio::ModelVersion::V2, args, nargs, kwnames);
}

// ---- the module ----

PyMethodDef method_table[] = {
    {"dummy_func", dummy_func, METH_NOARGS, kDummyFuncDoc},
    {"reconstruct_mask", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reconstruct_mask)),
     METH_FASTCALL | METH_KEYWORDS, kReconstructMaskDoc},
    {"vxmv1_melspectrogram", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vxmv1_melspectrogram)),
     METH_FASTCALL | METH_KEYWORDS, kMelV1Doc},
    {"vxmv2_melspectrogram", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vxmv2_melspectrogram)),
     METH_FASTCALL | METH_KEYWORDS, kMelV2Doc},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ostrel_py",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module, and the module object it got.
std::atomic<std::int64_t> interpreter_id{-1};
std::atomic<PyObject*> module_object{nullptr};

// Adds the functions of the table to a new module and lists them in __all__.
void ostrel_module(PyObject* module) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) throw PyError::fetch();
    for (PyMethodDef& method : method_table) {
        PyRef function = PyRef::steal(PyCMethod_New(&method, module, module_name.get(), nullptr));
        if (!function) throw PyError::fetch();
        PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) throw PyError::fetch();
        if (!PyUnicode_Check(name.get())) throw python::downcast_error(name.get(), "PyString");

        PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError::fetch();
            PyErr_Clear();
            all = PyRef::steal(PyList_New(0));
            if (!all) throw PyError::fetch();
            if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PyError::fetch();
        }
        if (!PyList_Check(all.get())) throw python::downcast_error(all.get(), "PyList");
        if (PyList_Append(all.get(), name.get()) < 0) {
            python::panic_with("could not append __name__ to __all__", PyError::fetch());
        }
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw PyError::fetch();
    }
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw PyError::fetch();
    std::int64_t expected = -1;
    if (!interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        throw PyError::made(PyExc_ImportError,
                            "ostrel_py does not support sub-interpreters: it can be imported only "
                            "in the interpreter that imported it first");
    }
    if (PyObject* kept = module_object.load(std::memory_order_acquire)) return PyRef::borrow(kept).release();

    PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
    if (!module) throw PyError::fetch();
#ifdef Py_GIL_DISABLED
    // Importing the module leaves the GIL off (CONTRIBUTING.md, Threads).
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) throw PyError::fetch();
#endif
    ostrel_module(module.get());
    return PyRef::borrow(python::keep_first(module_object, std::move(module))).release();
}

}  // namespace

}  // namespace ostrel

PyMODINIT_FUNC PyInit_ostrel_py() {
    return ostrel::python::guarded([] { return ostrel::init_module(); });
}
