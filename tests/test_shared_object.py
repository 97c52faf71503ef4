"""The module's shared object as the release check reads it: what it exports
and what it asks of the system that loads it."""

import importlib.util
import zipfile
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
    # The pool counts CPUs through glibc 2.6's __sched_cpucount in every build.
    problems = module_problems((2, 5))
    cpu_count = [p for p in problems if p.startswith("asks for GLIBC_2.6 (above 2.5): ")]
    assert cpu_count and "__sched_cpucount" in cpu_count[0].split(": ")[1].split(", "), problems
    assert not any(p.startswith("asks for GLIBC_2.2.5") for p in problems), problems


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


@pytest.mark.parametrize("with_module, problem", [
    (True, "kiv_rs.so asks for GLIBC_2.6 (above 2.5): __sched_cpucount"),
    (False, "no extension module"),
])
def test_a_wheel_is_checked_against_its_own_tag(tmp_path, with_module, problem):
    wheel = tmp_path / "kiv_rs-0.1.0-cp312-cp312-manylinux_2_5_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.writestr("kiv_rs-0.1.0.dist-info/WHEEL", "Wheel-Version: 1.0\n")
        if with_module:
            archive.write(kiv_rs.__file__, "kiv_rs.so")
    assert any(p.startswith(f"{wheel.name}: {problem}") for p in check_wheel.check(wheel))
