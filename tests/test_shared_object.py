"""The module's shared object as the release check reads it: what it exports
and what it asks of the system that loads it."""

import importlib.util
from pathlib import Path

import kiv_rs
import pytest

CHECK_WHEEL = Path(__file__).parents[1] / "scripts" / "release" / "check_wheel.py"
spec = importlib.util.spec_from_file_location("check_wheel", CHECK_WHEEL)
check_wheel = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_wheel)


def module_problems(glibc):
    with open(kiv_rs.__file__, "rb") as module:
        return check_wheel.problems(module, glibc)


@pytest.mark.not_under_sanitizer("the sanitizer runtimes are libraries of their own")
def test_module_exports_its_entry_point_alone_and_needs_only_system_libraries():
    assert module_problems((99, 0)) == []


def test_symbol_versions_above_the_limit_are_named_with_their_symbols():
    problems = module_problems((2, 2))
    assert problems and all(p.startswith("asks for GLIBC_2.") for p in problems), problems
    memcpy = [p for p in problems if p.startswith("asks for GLIBC_2.14 (above 2.2): ")]
    assert memcpy and "memcpy" in memcpy[0].split(": ")[1].split(", "), problems


@pytest.mark.parametrize(
    "wheel, glibc",
    [
        ("kiv_rs-0.1.0-cp312-cp312-manylinux2014_x86_64.manylinux_2_17_x86_64.whl", (2, 17)),
        ("kiv_rs-0.1.0-cp313-cp313-manylinux_2_28_x86_64.manylinux_2_34_x86_64.whl", (2, 28)),
        ("kiv_rs-0.1.0-cp312-cp312-manylinux2010_x86_64.whl", (2, 12)),
    ],
)
def test_a_wheel_must_load_on_the_oldest_glibc_its_tags_name(wheel, glibc):
    assert check_wheel.tag_glibc(Path(wheel)) == glibc


def test_a_wheel_without_a_manylinux_tag_is_refused():
    with pytest.raises(ValueError, match="no manylinux tag"):
        check_wheel.tag_glibc(Path("kiv_rs-0.1.0-cp312-cp312-linux_x86_64.whl"))
