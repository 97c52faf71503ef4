"""Internal failures as PanicException, the report on stderr, and what a failed
call leaves behind (nothing)."""

import ctypes
import re
import sys

import numpy as np
import pytest

from kiv_rs import KIV

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
REPORT_LINE = r"thread '<unnamed>' panicked at [^\n]+:\d+:\d+:\n"
BACKTRACE_NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"


def nan_row_arrays():
    """Valid arrays except for a NaN among two class probabilities, which the
    engine's score filter refuses (score_threshold must not be zero)."""
    return (
        np.array([[0, 0, 1, 1]], np.float32),
        np.array([[np.nan, 0.1]], np.float32),
        np.array([0.5], np.float32),
        np.array([0], np.int64),
    )


def borrow_count(obj):
    return ctypes.c_int64.from_address(id(obj) + object.__basicsize__ + 8).value


def record_bytes(obj):
    return ctypes.string_at(id(obj) + object.__basicsize__, 16)


@pytest.fixture(scope="module")
def panic_exception():
    # Relies on the engine's documented failure for a NaN probability.
    try:
        KIV(0.5, 0.5).run(*nan_row_arrays())
    except BaseException as error:
        return type(error)
    pytest.fail("a NaN class probability raised nothing")


def test_panic_exception_type(panic_exception):
    assert panic_exception.__name__ == panic_exception.__qualname__ == "PanicException"
    assert panic_exception.__module__ == "pyo3_runtime"
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)
    assert "Like SystemExit, this exception is derived from BaseException so that\n" in (
        panic_exception.__doc__
    )
    with pytest.raises(ImportError):
        import pyo3_runtime  # noqa: F401


def test_panic_passes_except_exception(panic_exception):
    with pytest.raises(BaseException) as caught:
        try:
            KIV(0.5, 0.5).run(*nan_row_arrays())
        except Exception:
            pytest.fail("PanicException was caught as an Exception")
    # One class for the whole process, and the bare message as the only arg.
    assert type(caught.value) is panic_exception
    assert caught.value.args == (UNWRAP_NONE,)


def test_failure_report_on_stderr(panic_exception, capfd):
    with pytest.raises(panic_exception):
        KIV(0.5, 0.5).run(*nan_row_arrays())
    # The whole report, as written once the backtrace note is out of the way
    # (or followed by a backtrace when RUST_BACKTRACE asks for one).
    assert re.match(REPORT_LINE + re.escape(UNWRAP_NONE + "\n"), capfd.readouterr().err)


def test_backtrace_note_is_written_once(run_python):
    done = run_python(
        """
        import numpy as np
        from kiv_rs import KIV
        boxes = np.zeros((1, 4), np.float32)
        probs = np.array([[np.nan, 0.1]], np.float32)
        for _ in range(2):
            try:
                KIV(0.5, 0.5).run(boxes, probs, np.zeros(1, np.float32), np.zeros(1, np.int64))
            except BaseException as error:
                print(type(error).__name__)
        """,
        env={"RUST_BACKTRACE": "0"},
    )
    assert done.stdout == "PanicException\nPanicException\n"
    message = re.escape(UNWRAP_NONE + "\n")
    pattern = REPORT_LINE + message + re.escape(BACKTRACE_NOTE) + REPORT_LINE + message
    assert re.fullmatch(pattern, done.stderr), done.stderr


def test_failed_calls_leave_no_trace(panic_exception, valid_arrays):
    obj = KIV(0.1, 0.5)
    before = record_bytes(obj)
    expected = KIV(0.1, 0.5).run(*valid_arrays)
    bad = nan_row_arrays()
    inputs = [*valid_arrays, *bad]
    counts = [sys.getrefcount(x) for x in (obj, *inputs)]
    for _ in range(200):
        with pytest.raises(panic_exception):
            obj.run(*bad)
        with pytest.raises(TypeError):
            obj.run(*valid_arrays[:3], valid_arrays[3].astype(np.int32))
        with pytest.raises(TypeError):
            obj.run(*valid_arrays, extra=1)
        assert obj.run(*valid_arrays) == expected
    assert [sys.getrefcount(x) for x in (obj, *inputs)] == counts
    assert record_bytes(obj) == before
    assert borrow_count(obj) == 0


class PanicFromFloat:
    def __init__(self, exception):
        self.exception = exception

    def __float__(self):
        raise self.exception


def test_panic_raised_by_python_code_is_resumed(panic_exception, capfd):
    original = panic_exception("raised from __float__")
    with pytest.raises(panic_exception) as caught:
        KIV(0.5, PanicFromFloat(original))
    assert caught.value is not original
    assert caught.value.args == ("raised from __float__",)
    err = capfd.readouterr().err
    assert err.startswith(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n"
        "Traceback (most recent call last):\n"
    )
    assert re.search(
        r"in __float__\n.*\npyo3_runtime.PanicException: raised from __float__\n"
        + REPORT_LINE
        + "raised from __float__\n",
        err,
    ), err


def test_panic_without_text_is_resumed(panic_exception, capfd):
    class Mute(panic_exception):
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(panic_exception) as caught:
        KIV(PanicFromFloat(Mute()), 0.5)
    assert type(caught.value) is panic_exception
    assert caught.value.args == ("Unwrapped panic from Python code",)
    capfd.readouterr()


BLOCK_NUMPY = """
import sys

class BlockNumpy:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

blocker = BlockNumpy()
sys.meta_path.insert(0, blocker)
"""


def test_without_numpy(run_python):
    done = run_python(
        BLOCK_NUMPY
        + """
from kiv_rs import KIV
obj = KIV(0.5, 0.25)
try:
    obj.run(1, 2)
except TypeError as error:
    print("TypeError", error)
for _ in range(2):
    try:
        obj.run(1, 2, 3, 4)
    except BaseException as error:
        print(type(error).__name__, repr(str(error)))
sys.meta_path.remove(blocker)
import numpy as np
f = np.zeros((0, 4), np.float32)
print(obj.run(f, f, np.zeros(0, np.float32), np.zeros(0, np.int64)))
"""
    )
    lines = done.stdout.splitlines()
    assert lines[0] == (
        "TypeError KIV.run() missing 2 required positional arguments: "
        "'uncertainty_scores' and 'scales'"
    )
    prefix = (
        "PanicException 'Failed to access NumPy array API capsule: PyErr { type: "
        "<class \\'ModuleNotFoundError\\'>, value: ModuleNotFoundError(\"No module named "
        "\\'numpy\\'\"), traceback: "
    )
    assert lines[1].startswith(prefix) and lines[1].endswith(" }'")
    assert lines[2].startswith(prefix)
    # A failed attempt leaves nothing behind: once NumPy is there, run works.
    assert lines[3] == "(0.0, None)"
    assert len(lines) == 4, done.stderr


def test_numpy_without_an_api_capsule(run_python):
    done = run_python(
        """
        import sys, types
        for name in ("numpy", "numpy._core", "numpy._core.multiarray"):
            sys.modules[name] = types.ModuleType(name)
        sys.modules["numpy._core.multiarray"]._ARRAY_API = 5
        from kiv_rs import KIV
        try:
            KIV(0.5, 0.5).run(1, 2, 3, 4)
        except BaseException as error:
            print(type(error).__name__, str(error))
        """
    )
    assert done.stdout == (
        "PanicException Failed to access NumPy array API capsule: PyErr { type: "
        "<class 'TypeError'>, value: TypeError(\"'int' object cannot be converted to "
        "'PyCapsule'\"), traceback: None }\n"
    )


def test_numpy_without_numpy_core_underscore(run_python):
    # A NumPy that predates the numpy._core name is reached as numpy.core.
    done = run_python(
        """
        import sys
        import numpy as np
        sys.modules.pop("numpy._core.multiarray", None)

        class OldNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy._core.multiarray":
                    raise ModuleNotFoundError("No module named 'numpy._core'", name="numpy._core")

        sys.meta_path.insert(0, OldNumpy())
        from kiv_rs import KIV
        f = np.zeros((0, 4), np.float32)
        print(KIV(0.5, 0.5).run(f, f, np.zeros(0, np.float32), np.zeros(0, np.int64)))
        """
    )
    assert done.stdout == "(0.0, None)\n", done.stderr


SUB_INTERPRETER_IMPORT = """
try:
    import kiv_rs
except ImportError as error:
    import os
    os.write(1, f"{type(error).__name__}: {error}\\n".encode())
"""


def test_sub_interpreters_are_refused(run_python):
    # A legacy (non-isolated) sub-interpreter, so that the interpreter itself
    # lets the module's entry run and the module has to refuse.
    done = run_python(
        f"""
        import _xxsubinterpreters as interpreters
        import kiv_rs
        interpreter = interpreters.create(isolated=False)
        interpreters.run_string(interpreter, {SUB_INTERPRETER_IMPORT!r})
        interpreters.destroy(interpreter)
        print(kiv_rs.KIV(0.5, 0.5).run.__name__)
        """
    )
    assert done.returncode == 0, done.stderr
    first, second = done.stdout.splitlines()
    assert first.startswith("ImportError: kiv_rs does not yet support sub-interpreters")
    assert second == "run"


def test_memory_exhaustion_raises_memory_error(run_python):
    # Relies on the engine allocating its N x N overlap matrix (8 TB here),
    # which fails under the address-space limit, whatever the overcommit policy.
    done = run_python(
        """
        import ctypes, resource
        import numpy as np
        from kiv_rs import KIV

        def small_run(obj):
            f = np.zeros((2, 4), np.float32)
            return obj.run(f, f, np.ones(2, np.float32), np.zeros(2, np.int64))

        obj = KIV(0.5, 0.0)
        expected = small_run(obj)  # starts the worker pool before the limit
        n = 1_000_000
        boxes = np.zeros((n, 4), np.float32)
        probs = np.zeros((n, 1), np.float32)
        uncertainty = np.zeros(n, np.float32)
        scales = np.zeros(n, np.int64)
        pages = int(open("/proc/self/statm").read().split()[0])
        limit = pages * resource.getpagesize() + 2**31
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
        try:
            obj.run(boxes, probs, uncertainty, scales)
        except MemoryError as error:
            print("MemoryError", error.args)
        count = ctypes.c_int64.from_address(id(obj) + object.__basicsize__ + 8).value
        print(count, small_run(obj) == expected)
        """
    )
    assert done.stdout == "MemoryError ()\n0 True\n", done.stderr
