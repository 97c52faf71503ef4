"""Matching call arguments to parameters: accepted forms and exact TypeErrors."""

import ctypes

import pytest

from kiv_rs import KIV

NEW, RUN = "KIV.__new__()", "KIV.run()"


@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (KIV, (0.5,), {}, f"{NEW} missing 1 required positional argument: 'score_threshold'"),
        (KIV, (), {}, f"{NEW} missing 2 required positional arguments: 'iou_threshold' and 'score_threshold'"),
        (KIV, (0.5, 0.2, 0.1), {}, f"{NEW} takes 2 positional arguments but 3 were given"),
        (KIV, (0.5, 0.2), {"iou_threshold": 0.1}, f"{NEW} got multiple values for argument 'iou_threshold'"),
        (KIV, (0.5, 0.2), {"iou": 0.1}, f"{NEW} got an unexpected keyword argument 'iou'"),
        # Argument errors come before any value is converted.
        (KIV, ("bad",), {}, f"{NEW} missing 1 required positional argument: 'score_threshold'"),
        (KIV, (), {"\udc80": 1}, f"{NEW} got an unexpected keyword argument '\udc80'"),
        ("run", (), {}, f"{RUN} missing 4 required positional arguments: 'bounding_boxes', 'class_probabilities', 'uncertainty_scores', and 'scales'"),
        ("run", (1,), {"scales": 4}, f"{RUN} missing 2 required positional arguments: 'class_probabilities' and 'uncertainty_scores'"),
        ("run", (), {"class_probabilities": 2}, f"{RUN} missing 3 required positional arguments: 'bounding_boxes', 'uncertainty_scores', and 'scales'"),
        ("run", (1, 2, 3), {}, f"{RUN} missing 1 required positional argument: 'scales'"),
        # Too many positionals is reported before any keyword is looked at.
        ("run", (1, 2, 3, 4, 5, 6), {"x": 1}, f"{RUN} takes 4 positional arguments but 6 were given"),
        ("run", (1, 2, 3, 4), {"bounding_boxes": 1}, f"{RUN} got multiple values for argument 'bounding_boxes'"),
        ("run", (1, 2, 3), {"scales": 4, "uncertainty_scores": 3}, f"{RUN} got multiple values for argument 'uncertainty_scores'"),
        # Keywords are taken in the caller's order; the first bad one ends it.
        ("run", (1, 2), {"Scales": 1, "extra": 1}, f"{RUN} got an unexpected keyword argument 'Scales'"),
    ],
)
def test_argument_errors(call, args, kwargs, message):
    if call == "run":
        call = KIV(0.5, 0.5).run
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is TypeError and str(caught.value) == message


class Name(str):
    """A str subclass as keyword name still matches by its text."""


NAMES = ["bounding_boxes", "class_probabilities", "uncertainty_scores", "scales"]


@pytest.mark.parametrize("positional, keywords", [(3, [3]), (2, [3, 2]), (0, [3, 1, 0, 2])])
def test_run_call_forms_are_equivalent(valid_arrays, positional, keywords):
    obj = KIV(0.5, 0.5)
    kwargs = {Name(NAMES[i]): valid_arrays[i] for i in keywords}
    assert obj.run(*valid_arrays[:positional], **kwargs) == obj.run(*valid_arrays)


def test_keyword_names_that_are_not_str():
    # Python syntax cannot pass these; the C API can.
    call = ctypes.pythonapi.PyObject_Call
    call.argtypes = [ctypes.py_object] * 3
    call.restype = ctypes.py_object
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        call(KIV, (0.5,), {1: 0.2})
