"""Matching call arguments to parameters: accepted forms and exact TypeErrors."""

import ctypes

import pytest

from kiv_rs import KIV

NEW = "KIV.__new__()"
RUN = "KIV.run()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((0.5,), {}, f"{NEW} missing 1 required positional argument: 'score_threshold'"),
        ((), {"score_threshold": 0.2}, f"{NEW} missing 1 required positional argument: 'iou_threshold'"),
        ((), {}, f"{NEW} missing 2 required positional arguments: 'iou_threshold' and 'score_threshold'"),
        ((0.5, 0.2, 0.1), {}, f"{NEW} takes 2 positional arguments but 3 were given"),
        # Too many positionals is reported before any keyword is looked at.
        ((0.5, 0.2, 0.1, 0.0), {"bogus": 1}, f"{NEW} takes 2 positional arguments but 4 were given"),
        ((0.5, 0.2), {"iou_threshold": 0.1}, f"{NEW} got multiple values for argument 'iou_threshold'"),
        ((0.5,), {"score_threshold": 0.1, "iou_threshold": 0.1}, f"{NEW} got multiple values for argument 'iou_threshold'"),
        ((0.5, 0.2), {"iou": 0.1}, f"{NEW} got an unexpected keyword argument 'iou'"),
        ((0.5, 0.2), {"Iou_threshold": 0.1}, f"{NEW} got an unexpected keyword argument 'Iou_threshold'"),
        # Keywords are taken in the caller's order; the first bad one ends it.
        ((), {"x": 1, "iou_threshold": 1, "y": 2}, f"{NEW} got an unexpected keyword argument 'x'"),
        ((0.5,), {"iou_threshold": 1, "y": 2}, f"{NEW} got multiple values for argument 'iou_threshold'"),
        # Keyword errors come before missing arguments, and all of them
        # before any value is converted.
        (("bad",), {"z": 1}, f"{NEW} got an unexpected keyword argument 'z'"),
        (("bad",), {}, f"{NEW} missing 1 required positional argument: 'score_threshold'"),
        ((), {"\udc80": 1}, f"{NEW} got an unexpected keyword argument '\udc80'"),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        KIV(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.__cause__ is None


ALL_FOUR = "'bounding_boxes', 'class_probabilities', 'uncertainty_scores', and 'scales'"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{RUN} missing 4 required positional arguments: {ALL_FOUR}"),
        ((1,), {}, f"{RUN} missing 3 required positional arguments: 'class_probabilities', 'uncertainty_scores', and 'scales'"),
        ((1, 2), {}, f"{RUN} missing 2 required positional arguments: 'uncertainty_scores' and 'scales'"),
        ((1, 2, 3), {}, f"{RUN} missing 1 required positional argument: 'scales'"),
        ((1,), {"scales": 4}, f"{RUN} missing 2 required positional arguments: 'class_probabilities' and 'uncertainty_scores'"),
        ((), {"class_probabilities": 2}, f"{RUN} missing 3 required positional arguments: 'bounding_boxes', 'uncertainty_scores', and 'scales'"),
        ((1, 2, 3, 4, 5), {}, f"{RUN} takes 4 positional arguments but 5 were given"),
        ((1, 2, 3, 4, 5, 6), {"scales": 1}, f"{RUN} takes 4 positional arguments but 6 were given"),
        ((1, 2, 3, 4), {"bounding_boxes": 1}, f"{RUN} got multiple values for argument 'bounding_boxes'"),
        ((1, 2, 3), {"scales": 4, "uncertainty_scores": 3}, f"{RUN} got multiple values for argument 'uncertainty_scores'"),
        ((1, 2, 3, 4), {"extra": 1}, f"{RUN} got an unexpected keyword argument 'extra'"),
        ((), {"self": 1}, f"{RUN} got an unexpected keyword argument 'self'"),
    ],
)
def test_run_argument_errors(args, kwargs, message):
    # None of these values is an array: argument errors come first.
    with pytest.raises(TypeError) as caught:
        KIV(0.5, 0.5).run(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


class Name(str):
    """A str subclass as keyword name still matches by its text."""


@pytest.mark.parametrize(
    "positional, keywords",
    [
        (4, []),
        (3, ["scales"]),
        (2, ["scales", "uncertainty_scores"]),
        (0, ["bounding_boxes", "class_probabilities", "uncertainty_scores", "scales"]),
        (0, ["scales", "class_probabilities", "bounding_boxes", "uncertainty_scores"]),
    ],
)
def test_run_call_forms_are_equivalent(valid_arrays, positional, keywords):
    names = ["bounding_boxes", "class_probabilities", "uncertainty_scores", "scales"]
    by_name = dict(zip(names, valid_arrays))
    obj = KIV(0.5, 0.5)
    result = obj.run(*valid_arrays[:positional], **{Name(k): by_name[k] for k in keywords})
    assert result == obj.run(*valid_arrays)


def test_keyword_names_that_are_not_str():
    # Python syntax cannot pass these; the C API can.
    call = ctypes.pythonapi.PyObject_Call
    call.argtypes = [ctypes.py_object] * 3
    call.restype = ctypes.py_object
    with pytest.raises(TypeError) as caught:
        call(KIV, (0.5,), {1: 0.2})
    assert str(caught.value) == "'int' object cannot be converted to 'PyString'"

    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    vectorcall.restype = ctypes.py_object
    values = (ctypes.py_object * 4)(1, 2, 3, 4)
    with pytest.raises(TypeError) as caught:
        vectorcall(KIV(0.5, 0.5).run, ctypes.addressof(values), 3, (b"scales",))
    assert str(caught.value) == "'bytes' object cannot be converted to 'PyString'"
