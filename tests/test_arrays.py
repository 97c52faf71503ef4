"""Which arrays run() accepts, the exact refusals, and the result's form."""

import numpy as np
import pytest

from kiv_rs import KIV

NAMES = ["bounding_boxes", "class_probabilities", "uncertainty_scores", "scales"]
NOT_ARRAY = "object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "position, make_bad, message",
    [
        (0, lambda a: a.tolist(), f"'list' {NOT_ARRAY}"),
        (3, lambda a: None, f"'NoneType' {NOT_ARRAY}"),
        (2, lambda a: a[0], f"'float32' {NOT_ARRAY}"),
        (0, lambda a: a.astype(np.float64), "type mismatch:\n from=float64, to=float32"),
        (2, lambda a: a.astype(">f4"), "type mismatch:\n from=>f4, to=float32"),
        (3, lambda a: a.astype(np.int32), "type mismatch:\n from=int32, to=int64"),
        (3, lambda a: a.astype(np.uint64), "type mismatch:\n from=uint64, to=int64"),
        (3, lambda a: a.astype(np.float32), "type mismatch:\n from=float32, to=int64"),
        (0, lambda a: a[:, 0], "dimensionality mismatch:\n from=1, to=2"),
        (1, lambda a: a[None], "dimensionality mismatch:\n from=3, to=2"),
        (3, lambda a: np.array(a[0]), "dimensionality mismatch:\n from=0, to=1"),
        # The number of axes is checked before the element type.
        (0, lambda a: a[:, 0].astype(np.float64), "dimensionality mismatch:\n from=1, to=2"),
    ],
)
def test_refused_arguments(valid_arrays, position, make_bad, message):
    args = list(valid_arrays)
    args[position] = make_bad(args[position])
    with pytest.raises(TypeError) as caught:
        KIV(0.5, 0.5).run(*args)
    assert type(caught.value) is TypeError
    assert str(caught.value) == f"argument '{NAMES[position]}': {message}"


def test_only_the_first_bad_argument_is_reported(valid_arrays):
    boxes, _, uncertainty, _ = valid_arrays
    with pytest.raises(TypeError, match="^argument 'class_probabilities': "):
        KIV(0.5, 0.5).run(boxes, [1], uncertainty.astype(np.float64), None)


def test_the_result_is_a_float32_and_none(valid_arrays):
    score, second = KIV(0.5, 0.5).run(*valid_arrays)
    assert type(score) is float and second is None
    assert float(np.float32(score)) == score


class ArraySubclass(np.ndarray):
    pass


def gaps(arrays):
    boxes = arrays[0]
    padded = np.zeros((boxes.shape[0] * 2, boxes.shape[1] * 3), np.float32)
    padded[::2, ::3] = boxes
    return [padded[::2, ::3], *(np.repeat(a, 2, axis=0)[::2] for a in arrays[1:])]


def read_only(arrays):
    copies = [a.copy() for a in arrays]
    for a in copies:
        a.flags.writeable = False
    return copies


# Forms that hold the same values as the contiguous row-major arrays.
SAME_VALUES = {
    "fortran": lambda arrays: [np.asfortranarray(a) for a in arrays],
    "negative strides": lambda arrays: [np.ascontiguousarray(a[::-1])[::-1] for a in arrays],
    "gaps": gaps,
    "read-only": read_only,
    "ndarray subclass": lambda arrays: [a.view(ArraySubclass) for a in arrays],
    "masked, mask ignored": lambda arrays: [np.ma.masked_array(a, mask=True) for a in arrays],
    "longlong scales": lambda arrays: [*arrays[:3], arrays[3].astype(np.longlong)],
}


@pytest.mark.parametrize("form", SAME_VALUES.values(), ids=SAME_VALUES.keys())
def test_any_layout_gives_the_result_of_a_contiguous_copy(valid_arrays, form):
    obj = KIV(0.5, 0.5)
    assert obj.run(*form(valid_arrays)) == obj.run(*valid_arrays)


def test_broadcast_arrays():
    broadcast = [
        np.broadcast_to(np.array([[0, 0, 10, 10]], np.float32), (5, 4)),
        np.broadcast_to(np.float32(0.9), (5, 3)),
        np.broadcast_to(np.float32(0.5), (5,)),
        np.broadcast_to(np.int64(2), (5,)),
    ]
    obj = KIV(0.5, 0.5)
    assert obj.run(*broadcast) == obj.run(*(np.ascontiguousarray(a) for a in broadcast))


@pytest.mark.parametrize("columns", [0, 4])
def test_zero_rows(columns):
    f = np.empty((0, columns), np.float32)
    assert KIV(0.5, 0.5).run(f, f, np.empty(0, np.float32), np.empty(0, np.int64)) == (0.0, None)


def test_numpy_is_reached_without_warnings(run_python):
    # A fresh process, so that run() fetches NumPy's API table here.
    done = run_python(
        """
        import warnings
        warnings.simplefilter("error")
        import numpy as np
        from kiv_rs import KIV
        f = np.zeros((1, 4), np.float32)
        print(KIV(0.5, 0.5).run(f, f, np.zeros(1, np.float32), np.zeros(1, np.int64)))
        """
    )
    assert (done.stdout, done.stderr) == ("(0.0, None)\n", "")
