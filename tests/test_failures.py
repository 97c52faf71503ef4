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
NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"


def nan_row_arrays():
    """Arrays that the engine's score filter refuses: a NaN among two class
    probabilities (with a non-zero score_threshold). The tests that use them
    rely on that documented engine failure."""
    f = np.zeros((1, 4), np.float32)
    return f, np.array([[np.nan, 0.1]], np.float32), np.ones(1, np.float32), np.zeros(1, np.int64)


def borrow_count(obj):
    return ctypes.c_int64.from_address(id(obj) + object.__basicsize__ + 8).value


@pytest.fixture(scope="module")
def panic_exception():
    try:
        KIV(0.5, 0.5).run(*nan_row_arrays())
    except BaseException as error:
        return type(error)
    pytest.fail("a NaN class probability raised nothing")


def test_panic_exception(panic_exception):
    assert panic_exception.__qualname__ == "PanicException"
    assert panic_exception.__module__ == "pyo3_runtime"
    assert panic_exception.__bases__ == (BaseException,)
    assert "Like SystemExit, this exception is derived from BaseException" in panic_exception.__doc__
    with pytest.raises(BaseException) as caught:
        try:
            KIV(0.5, 0.5).run(*nan_row_arrays())
        except Exception:
            pytest.fail("PanicException was caught as an Exception")
    # One class for the whole process, and the bare message as the only arg.
    assert type(caught.value) is panic_exception and caught.value.args == (UNWRAP_NONE,)


def test_failure_report_and_its_one_time_note(run_python):
    done = run_python(
        """
        import numpy as np
        from kiv_rs import KIV
        f, nan_row = np.zeros((1, 4), np.float32), np.array([[np.nan, 0.1]], np.float32)
        for _ in range(2):
            try:
                KIV(0.5, 0.5).run(f, nan_row, np.ones(1, np.float32), np.zeros(1, np.int64))
            except BaseException as error:
                print(type(error).__name__)
        """,
        env={"RUST_BACKTRACE": "0"},
    )
    assert done.stdout == "PanicException\nPanicException\n"
    report = REPORT_LINE + re.escape(UNWRAP_NONE + "\n")
    assert re.fullmatch(report + re.escape(NOTE) + report, done.stderr), done.stderr


def test_failed_calls_leave_no_trace(panic_exception, valid_arrays):
    obj = KIV(0.1, 0.5)
    record = ctypes.string_at(id(obj) + object.__basicsize__, 16)
    expected = KIV(0.1, 0.5).run(*valid_arrays)
    bad = nan_row_arrays()
    watched = [obj, *valid_arrays, *bad]
    counts = [sys.getrefcount(x) for x in watched]
    for _ in range(100):
        with pytest.raises(panic_exception):
            obj.run(*bad)
        with pytest.raises(TypeError):
            obj.run(*valid_arrays[:3], valid_arrays[3].astype(np.int32))
        with pytest.raises(TypeError):
            obj.run(*valid_arrays, extra=1)
        assert obj.run(*valid_arrays) == expected
    assert [sys.getrefcount(x) for x in watched] == counts
    assert ctypes.string_at(id(obj) + object.__basicsize__, 16) == record
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
    assert caught.value is not original and caught.value.args == ("raised from __float__",)
    err = capfd.readouterr().err
    assert err.startswith(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n"
        "Traceback (most recent call last):\n"
    )
    tail = r"in __float__\n.*\npyo3_runtime.PanicException: raised from __float__\n"
    assert re.search(tail + REPORT_LINE + "raised from __float__\n", err), err

    class Mute(panic_exception):
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(panic_exception) as caught:
        KIV(PanicFromFloat(Mute()), 0.5)
    assert caught.value.args == ("Unwrapped panic from Python code",)


NO_NUMPY = """
class BlockNumpy:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "numpy":
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

sys.meta_path.insert(0, blocker := BlockNumpy())
undo = lambda: sys.meta_path.remove(blocker)
"""
NO_CAPSULE = """
fakes = ("numpy", "numpy._core", "numpy._core.multiarray")
sys.modules.update((name, types.ModuleType(name)) for name in fakes)
sys.modules["numpy._core.multiarray"]._ARRAY_API = 5
undo = lambda: [sys.modules.pop(name) for name in fakes]
"""


@pytest.mark.parametrize(
    "setup, description",
    [
        (NO_NUMPY, "type: <class 'ModuleNotFoundError'>, value: ModuleNotFoundError(\"No module named 'numpy'\"), traceback: "),
        (NO_CAPSULE, "type: <class 'TypeError'>, value: TypeError(\"'int' object cannot be converted to 'PyCapsule'\"), traceback: None }"),
    ],
    ids=["no numpy", "no capsule"],
)
def test_numpy_unreachable(run_python, setup, description):
    done = run_python(
        "import sys, types\n"
        + setup
        + """
from kiv_rs import KIV
obj = KIV(0.5, 0.25)
for args in [(1, 2), (1, 2, 3, 4), (1, 2, 3, 4)]:
    try:
        obj.run(*args)
    except BaseException as error:
        print(type(error).__name__, str(error))
undo()
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
    failure = "PanicException Failed to access NumPy array API capsule: PyErr { " + description
    assert lines[1].startswith(failure) and lines[1].endswith(" }") and lines[2].startswith(failure)
    # A failed attempt leaves nothing behind: once NumPy is there, run works.
    assert lines[3:] == ["(0.0, None)"], done.stderr


SUB_INTERPRETER_IMPORT = """
try:
    import kiv_rs
except ImportError as error:
    import os
    os.write(1, f"ImportError: {error}".encode())
"""


def test_sub_interpreters_are_refused(run_python):
    # A legacy (non-isolated) sub-interpreter: the interpreter itself lets the
    # module's entry run, and the module has to refuse.
    # The private module and its way of asking for a legacy one differ by version.
    done = run_python(
        f"""
        import sys
        import kiv_rs
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            interpreter = interpreters.create("legacy")
        else:
            import _xxsubinterpreters as interpreters
            interpreter = interpreters.create(isolated=False)
        interpreters.run_string(interpreter, {SUB_INTERPRETER_IMPORT!r})
        interpreters.destroy(interpreter)
        print("", kiv_rs.KIV(0.5, 0.5).run.__name__)
        """
    )
    assert done.stdout.startswith("ImportError: kiv_rs does not yet support sub-interpreters")
    assert done.stdout.endswith(" run\n"), done.stderr


@pytest.mark.not_under_sanitizer(
    "ASan ends the process when memory runs out instead of letting operator new throw"
)
def test_memory_exhaustion_raises_memory_error(run_python):
    # Zero-stride arrays claim 2**29 detections without holding them; the
    # engine's own per-detection storage then exceeds the address-space limit.
    done = run_python(
        """
        import ctypes, resource
        import numpy as np
        from numpy.lib.stride_tricks import as_strided
        from kiv_rs import KIV

        def run(obj, n):
            boxes = as_strided(np.zeros(4, np.float32), shape=(n, 4), strides=(0, 4))
            values = as_strided(np.ones(1, np.float32), shape=(n,), strides=(0,))
            scales = as_strided(np.zeros(1, np.int64), shape=(n,), strides=(0,))
            return obj.run(boxes, boxes, values, scales)

        obj = KIV(0.5, 0.0)
        expected = run(obj, 2)  # starts the worker pool before the limit
        pages = int(open("/proc/self/statm").read().split()[0])
        limit = pages * resource.getpagesize() + 2**31
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
        try:
            run(obj, 2**29)
        except MemoryError as error:
            print("MemoryError", error.args)
        count = ctypes.c_int64.from_address(id(obj) + object.__basicsize__ + 8).value
        print(count, run(obj, 2) == expected)
        """
    )
    assert done.stdout == "MemoryError ()\n0 True\n", done.stderr
