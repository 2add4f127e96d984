import inspect
import re
import shutil
import subprocess
import sys

import pytest

import ostrel_py
from conftest import PANICKING_RECORD, PanicException, run_python

NAMES = ["dummy_func", "reconstruct_mask", "vxmv1_melspectrogram", "vxmv2_melspectrogram"]

MEL_DOC = (
    "Converts a wav file to a mel spectrogram in bytes for the Voxmime {v} model.\n"
    "\n"
    "# Arguments\n"
    "- `wav` (`numpy.ndarray`): The wav file as a numpy array.\n"
    "- 'sample_rate' (`u32`): The sample rate of given wav. \n"
    "\n"
    "# Returns\n"
    "A list of bytes representing the mel spectrogram."
)

DOCS = {
    "dummy_func": "Dummy function for warmup.\n\n# Returns\nA dummy value of 0.",
    "reconstruct_mask": (
        "Reconstructs a grayscale mask from a serialized CompactMaskModel.\n"
        "\n"
        "# Arguments\n"
        "- `bytes` (`PyBytes`): The serialized CompactMaskModel.\n"
        "- `width` (`usize`): The width of the output image.\n"
        "- `height` (`usize`): The height of the output image.\n"
        "- `scale` (`f32`, 'str'): The scale to be resized and filtertype of resizing.\n"
        "\n"
        "## FilterType\n"
        '- NEAREST: "nearest" or "lowest"\n'
        '- LINEAR: "linear" or "triangle" or "low"\n'
        '- CATMULLROM: "catmullrom" or "cubic" or "medium"\n'
        '- GAUSSIAN: "gaussian" or "high"\n'
        '- LANZOS: "lanzos" or "highest"\n'
        "\n"
        "# Returns\n"
        "A `numpy.ndarray` representing the reconstructed mask."
    ),
    "vxmv1_melspectrogram": MEL_DOC.format(v="V1"),
    "vxmv2_melspectrogram": MEL_DOC.format(v="V2"),
}

SIGNATURES = {
    "dummy_func": "()",
    "reconstruct_mask": "(bytes, width, height, scale=None)",
    "vxmv1_melspectrogram": "(wav, sample_rate)",
    "vxmv2_melspectrogram": "(wav, sample_rate)",
}


def test_module_surface():
    assert ostrel_py.__all__ == NAMES
    assert ostrel_py.__doc__ == ""
    assert ostrel_py.__file__.endswith(".so")
    public = {name for name in vars(ostrel_py) if not name.startswith("__")}
    assert public == set(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_function_records(name):
    function = getattr(ostrel_py, name)
    assert function.__doc__ == DOCS[name]
    assert function.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__self__ is ostrel_py
    assert function.__module__ == "ostrel_py"
    assert function.__name__ == name


def test_dummy_func():
    result = ostrel_py.dummy_func()
    assert result == 0 and type(result) is int
    with pytest.raises(TypeError):
        ostrel_py.dummy_func(1)


def test_second_import_returns_the_same_module():
    first = sys.modules.pop("ostrel_py")
    try:
        import ostrel_py as again

        assert again is first
    finally:
        sys.modules["ostrel_py"] = first


def test_import_does_not_import_numpy():
    run_python(
        """
        import sys, ostrel_py
        assert "numpy" not in sys.modules
        ostrel_py.reconstruct_mask(bytes([0x91, 0x90]), 1, 1)
        assert "numpy" in sys.modules
        """
    )


def test_sub_interpreter_is_refused():
    # CPython 3.12 and later refuse single-phase modules in isolated
    # interpreters themselves, and free-threaded ones in every kind; the
    # module's own check guards the legacy kind, the only kind 3.11 has. Both
    # must refuse, every time.
    result = run_python(
        """
        import sys, sysconfig
        try:
            import _interpreters as interpreters  # 3.13 and later
        except ImportError:
            import _xxsubinterpreters as interpreters
        import ostrel_py

        def create(kind):
            if kind == "isolated":
                return interpreters.create()
            if hasattr(interpreters, "new_config"):
                return interpreters.create(interpreters.new_config("legacy"))
            return interpreters.create(isolated=False) if sys.version_info >= (3, 12) else interpreters.create()

        kinds = ["legacy"] + (["isolated"] if sys.version_info >= (3, 12) else [])
        for kind in kinds:
            for _ in range(2):
                interp = create(kind)
                try:
                    # 3.13 returns the failure, earlier versions raise it.
                    failure = interpreters.run_string(interp, "import ostrel_py")
                    failure = failure and failure.formatted
                except getattr(interpreters, "RunFailedError", ()) as error:
                    failure = str(error)
                finally:
                    interpreters.destroy(interp)
                assert failure and "ImportError" in failure, (kind, failure)
                own_check = kind == "legacy" and not sysconfig.get_config_var("Py_GIL_DISABLED")
                assert not own_check or "sub-interpreters" in failure, failure
        assert ostrel_py.dummy_func() == 0
        print(" ".join(kinds))
        """
    )
    assert result.stdout.split()[0] == "legacy"


def test_panic_exception_class():
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert "BaseException" in PanicException.__doc__


def test_panic_passes_except_exception_and_module_stays_usable(capfd):
    with pytest.raises(BaseException) as caught:
        try:
            ostrel_py.reconstruct_mask(PANICKING_RECORD, 0, 1)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
    assert type(caught.value) is PanicException
    assert caught.value.args == ("ndarray: index out of bounds",)
    report = capfd.readouterr().err
    assert "ndarray: index out of bounds" in report
    assert "mask/raster" in report  # the place of the failed check
    # The calling thread's name as the kernel keeps it, on every C library.
    with open("/proc/thread-self/comm") as comm:
        assert f"internal error in thread '{comm.read().strip()}'" in report
    assert ostrel_py.dummy_func() == 0
    assert ostrel_py.reconstruct_mask(bytes([0x91, 0x90]), 2, 1).shape == (1, 2)


# The audio results come from the module's own arithmetic, so they cannot
# change with the C library: of its maths functions the module imports only
# expf, for the masks' Gaussian filter.
C_MATHS = re.compile(
    r"(a?(sin|cos|tan)h?|atan2|sincos|exp(2|10|m1)?|log(2|10|1p|b)?|pow|sqrt|cbrt|hypot|erfc?|[lt]gamma"
    r"|fm(in|ax|od)|l?l?round|l?l?rint|nearbyint|floor|ceil|trunc|remainder|ldexp|frexp|modf|fma)[fl]?"
)


def test_the_only_c_library_maths_is_expf():
    objdump = shutil.which("objdump")
    assert objdump, "objdump (binutils) is not installed: make python-test installs it"
    table = subprocess.run([objdump, "-T", ostrel_py.__file__], capture_output=True, text=True, check=True).stdout
    imported = {line.split()[-1] for line in table.splitlines() if "*UND*" in line}
    assert {name for name in imported if C_MATHS.fullmatch(name)} == {"expf"}
