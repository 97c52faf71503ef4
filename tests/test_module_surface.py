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
F32_01 = 0.100000001490116119384765625  # float32(0.1)


def stored_thresholds(obj):
    """The bytes of the two 32-bit thresholds right after the object header."""
    return ctypes.string_at(id(obj) + object.__basicsize__, 8)


def float32_bytes(*values):
    return np.array(values, np.float32).tobytes()


def test_module_attributes():
    assert kiv_rs.__all__ == ["KIV"] and kiv_rs.__doc__ == ""
    assert {name for name in vars(kiv_rs) if not name.startswith("__")} == {"KIV"}


@pytest.mark.parametrize("cls, name, base, doc", [(KivRs, "KivRs", object, None), (KIV, "KIV", KivRs, "")])
def test_classes(cls, name, base, doc):
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    assert cls.__bases__ == (base,) and cls.__doc__ == doc
    assert cls.__flags__ & (1 << 10) and not cls.__flags__ & (1 << 14)  # subclassable, no GC
    assert (cls.__basicsize__, cls.__itemsize__) == (object.__basicsize__ + 16, 0)
    assert cls.__dictoffset__ == cls.__weakrefoffset__ == 0
    # No attributes expose the thresholds; run is the only method.
    assert set(vars(cls)) == {"__new__", "__doc__", "__module__"} | ({"run"} if cls is KIV else set())


def test_signatures_and_instances():
    assert KIV.__text_signature__ == "(iou_threshold, score_threshold)"
    assert KIV.run.__text_signature__ == (
        "($self, bounding_boxes, class_probabilities, uncertainty_scores, scales)"
    )
    obj = KIV(0.5, 0.25)
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        KivRs()


def test_reinitialisation_returns_the_same_module():
    saved = sys.modules.pop("kiv_rs")
    try:
        assert importlib.import_module("kiv_rs") is saved
        assert saved.__all__ == ["KIV"]
    finally:
        sys.modules["kiv_rs"] = saved


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((0.5,), {"score_threshold": 0.25}, (0.5, 0.25)),
        ((), {"score_threshold": 0.25, "iou_threshold": 0.5}, (0.5, 0.25)),
        ((1, True), {}, (1.0, 1.0)),
        ((0.1, 0.3), {}, (F32_01, 0.300000011920928955078125)),
        ((1e39, -1e39), {}, (math.inf, -math.inf)),
        # Rounded once, to nearest with ties to even, straight from the double.
        ((1 + 2**-24, 1 + 2**-24 + 2**-52), {}, (1.0, 1 + 2**-23)),
        ((np.float64(0.1), np.int64(3)), {}, (F32_01, 3.0)),
        ((FloatLike(-1.0), -0.0), {}, (-1.0, -0.0)),  # -1.0 without an error is a value
        ((math.nan, -math.nan), {}, (math.nan, -math.nan)),
    ],
)
def test_thresholds_are_stored_as_nearest_float32(args, kwargs, expected):
    assert stored_thresholds(KIV(*args, **kwargs)) == float32_bytes(*expected)


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
        (("a", None), TypeError, "argument 'iou_threshold': must be real number, not str"),
        ((0.5, None), TypeError, "argument 'score_threshold': must be real number, not NoneType"),
        # Only an exact TypeError is wrapped.
        ((Raises(ValueError("no")), 0.2), ValueError, "no"),
        ((0.2, Raises(TypeErrorSubclass("no"))), TypeErrorSubclass, "no"),
        ((0.2, 10**400), OverflowError, "int too large to convert to float"),
    ],
)
def test_threshold_conversion_errors(args, kind, message):
    with pytest.raises(BaseException) as caught:
        KIV(*args)
    assert type(caught.value) is kind and str(caught.value) == message


def test_wrapped_error_keeps_the_original_cause():
    error = TypeError("outer")
    error.__cause__ = root = KeyError("root")
    with pytest.raises(TypeError, match="^argument 'iou_threshold': outer$") as caught:
        KIV(Raises(error), 0.5)
    assert caught.value.__cause__ is root


class Sub(KIV):
    pass


class SlottedSub(KIV):
    __slots__ = ("label",)


@pytest.mark.parametrize("cls", [KIV, Sub, SlottedSub])
def test_subclass_instances(cls, valid_arrays):
    obj = cls(0.1, score_threshold=0.25)
    assert stored_thresholds(obj) == float32_bytes(0.1, 0.25)
    assert obj.run(*valid_arrays) == KIV(0.1, 0.25).run(*valid_arrays)
    assert hasattr(obj, "__dict__") == (cls is Sub)
    # Every instance gives back its reference to its class when freed.
    before = sys.getrefcount(cls)
    for _ in range(1000):
        cls(0.5, 0.5)
    assert sys.getrefcount(cls) == before
