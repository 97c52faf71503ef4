"""What `import kiv_rs` gives a caller: the module, its classes and instances."""

import ctypes
import importlib
import math
import sys
import weakref

import numpy as np
import pytest

import kiv_rs
from kiv_rs import KIV

KivRs = KIV.__base__

Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14


def stored_thresholds(obj):
    """The two 32-bit thresholds right after the object header."""
    header = object.__basicsize__
    return (
        ctypes.c_float.from_address(id(obj) + header).value,
        ctypes.c_float.from_address(id(obj) + header + 4).value,
    )


def same_float(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def test_module_attributes():
    assert kiv_rs.__all__ == ["KIV"]
    assert kiv_rs.__doc__ == ""
    assert kiv_rs.KIV is KIV
    assert not hasattr(kiv_rs, "KivRs")
    assert {name for name in vars(kiv_rs) if not name.startswith("__")} == {"KIV"}


@pytest.mark.parametrize(
    "cls, name, base, doc",
    [(KivRs, "KivRs", object, None), (KIV, "KIV", KivRs, "")],
)
def test_class_identity(cls, name, base, doc):
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (base,)
    assert cls.__doc__ == doc
    assert cls.__flags__ & Py_TPFLAGS_BASETYPE
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC
    assert cls.__basicsize__ == object.__basicsize__ + 16
    assert cls.__itemsize__ == 0
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0


def test_text_signatures():
    assert KIV.__text_signature__ == "(iou_threshold, score_threshold)"
    assert (
        KIV.run.__text_signature__
        == "($self, bounding_boxes, class_probabilities, uncertainty_scores, scales)"
    )
    assert KIV.run.__doc__ is None
    # No attributes expose the thresholds; run is the only method.
    assert set(vars(KIV)) == {"__new__", "run", "__doc__", "__module__"}
    assert set(vars(KivRs)) == {"__new__", "__doc__", "__module__"}


def test_instances_have_no_dict_or_weakrefs():
    obj = KIV(0.5, 0.25)
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_base_class_has_no_constructor():
    with pytest.raises(TypeError) as caught:
        KivRs()
    assert str(caught.value) == "No constructor defined"
    assert type(caught.value) is TypeError


def test_reinitialisation_returns_the_same_module():
    saved = sys.modules.pop("kiv_rs")
    try:
        again = importlib.import_module("kiv_rs")
        assert again is saved
        assert again.__all__ == ["KIV"] and again.KIV is KIV
    finally:
        sys.modules["kiv_rs"] = saved


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((0.5, 0.25), {}, (0.5, 0.25)),
        ((), {"iou_threshold": 0.5, "score_threshold": 0.25}, (0.5, 0.25)),
        ((), {"score_threshold": 0.25, "iou_threshold": 0.5}, (0.5, 0.25)),
        ((0.5,), {"score_threshold": 0.25}, (0.5, 0.25)),
        ((1, True), {}, (1.0, 1.0)),
        ((0.1, 0.3), {}, (0.100000001490116119384765625, 0.300000011920928955078125)),
        ((1e39, -1e39), {}, (math.inf, -math.inf)),
        ((float("nan"), -0.0), {}, (math.nan, -0.0)),
        ((-1, -1.0), {}, (-1.0, -1.0)),
        # Rounded once, to nearest with ties to even, straight from the double.
        ((1 + 2**-24, 1 + 3 * 2**-24), {}, (1.0, 1 + 2**-22)),
        ((1 + 2**-24 + 2**-52, 2**-150), {}, (1 + 2**-23, 0.0)),
        ((np.float64(0.1), np.float32(0.3)), {}, (0.100000001490116119384765625, 0.300000011920928955078125)),
        ((np.int64(3), 2**64), {}, (3.0, 2.0**64)),
    ],
)
def test_thresholds_are_stored_as_nearest_float32(args, kwargs, expected):
    stored = stored_thresholds(KIV(*args, **kwargs))
    assert all(same_float(s, e) for s, e in zip(stored, expected)), stored


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __index__(self):
        return 7


def test_thresholds_from_float_and_index_protocols():
    # -1.0 without a pending error is a value, not a failure.
    assert stored_thresholds(KIV(FloatLike(-1.0), IndexLike())) == (-1.0, 7.0)


class Raises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "args, kind, message",
    [
        (("0.5", 0.2), TypeError, "argument 'iou_threshold': must be real number, not str"),
        ((0.5, None), TypeError, "argument 'score_threshold': must be real number, not NoneType"),
        (("a", None), TypeError, "argument 'iou_threshold': must be real number, not str"),
        ((Raises(TypeError("no")), 0.2), TypeError, "argument 'iou_threshold': no"),
        # Only an exact TypeError is wrapped.
        ((Raises(ValueError("no")), 0.2), ValueError, "no"),
        ((0.2, Raises(TypeErrorSubclass("no"))), TypeErrorSubclass, "no"),
        ((0.2, 10**400), OverflowError, "int too large to convert to float"),
    ],
)
def test_threshold_conversion_errors(args, kind, message):
    with pytest.raises(BaseException) as caught:
        KIV(*args)
    assert type(caught.value) is kind
    assert str(caught.value) == message


def test_wrapped_error_keeps_the_original_cause():
    root = KeyError("root")
    error = TypeError("outer")
    error.__cause__ = root
    with pytest.raises(TypeError) as caught:
        KIV(Raises(error), 0.5)
    assert caught.value is not error
    assert str(caught.value) == "argument 'iou_threshold': outer"
    assert caught.value.__cause__ is root


class Sub(KIV):
    pass


class SlottedSub(KIV):
    __slots__ = ("label",)

    def __init__(self, iou_threshold, score_threshold, label="x"):
        self.label = label


@pytest.mark.parametrize("cls", [Sub, SlottedSub])
def test_python_subclasses(cls, valid_arrays):
    obj = cls(0.1, score_threshold=0.25)
    assert type(obj) is cls and isinstance(obj, KIV)
    assert stored_thresholds(obj) == (0.100000001490116119384765625, 0.25)
    assert obj.run(*valid_arrays) == KIV(0.1, 0.25).run(*valid_arrays)
    if cls is Sub:
        obj.note = "subclasses get their own layout"
        assert obj.__dict__ == {"note": "subclasses get their own layout"}
    else:
        assert obj.label == "x"


@pytest.mark.parametrize("cls", [KIV, Sub, SlottedSub])
def test_instances_release_their_class(cls):
    before = sys.getrefcount(cls)
    for _ in range(1000):
        cls(0.5, 0.5)
    assert sys.getrefcount(cls) == before
