"""Checks the extension module inside a manylinux wheel beyond auditwheel.

The module must ask for no glibc symbol version above the one its tag names,
export nothing but its entry point, and need no shared library but glibc's and
GCC's unwinder (it carries its C++ runtime inside; a libstdc++ it needed would
bring symbol versions of its own, newer than the tag's). Prints what the module needs; exits 1 with
one line per problem.

Usage: check_wheel.py WHEEL...
"""

from __future__ import annotations

import io
import sys
import zipfile
from collections import defaultdict
from pathlib import Path
from typing import BinaryIO

from elftools.elf.elffile import ELFFile
from packaging.utils import parse_wheel_filename

ENTRY_POINT = "PyInit_kiv_rs"
# Present on every system a manylinux tag stands for, in versions older than
# the oldest tag's.
SYSTEM_LIBRARIES = frozenset({
    "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
    "ld-linux-x86-64.so.2", "libgcc_s.so.1",
})
# The tags from before PEP 600 and the glibc each stands for.
LEGACY_GLIBC = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}

Version = tuple[int, ...]


def parse_version(text: str) -> Version:
    return tuple(int(part) for part in text.split("."))


def format_version(version: Version) -> str:
    return ".".join(map(str, version))


def tag_glibc(wheel: Path) -> Version:
    """The oldest glibc among the wheel's platform tags: the one it must load on."""
    versions = []
    for tag in parse_wheel_filename(wheel.name)[3]:
        platform = tag.platform
        if platform.startswith("manylinux_"):
            major, minor = platform.split("_")[1:3]
            versions.append((int(major), int(minor)))
        elif platform.split("_")[0] in LEGACY_GLIBC:
            versions.append(LEGACY_GLIBC[platform.split("_")[0]])
    if not versions:
        raise ValueError(f"{wheel.name} has no manylinux tag")
    return min(versions)


def glibc_needs(elf: ELFFile) -> dict[Version, list[str]]:
    """Every glibc version the object asks for, with the symbols asked at it."""
    versions: dict[int, Version] = {}
    for _, auxiliaries in elf.get_section_by_name(".gnu.version_r").iter_versions():
        for auxiliary in auxiliaries:
            if auxiliary.name.startswith("GLIBC_") and auxiliary.name[6:][:1].isdigit():
                versions[auxiliary["vna_other"]] = parse_version(auxiliary.name[6:])
    symbol_versions = elf.get_section_by_name(".gnu.version")
    needs: dict[Version, list[str]] = defaultdict(list)
    for index, symbol in enumerate(elf.get_section_by_name(".dynsym").iter_symbols()):
        version = versions.get(symbol_versions.get_symbol(index)["ndx"])
        if version is not None:
            needs[version].append(symbol.name)
    # A version named but asked for by no symbol still binds the loader.
    for version in versions.values():
        needs.setdefault(version, [])
    return dict(needs)


def exports(elf: ELFFile) -> list[str]:
    return sorted(
        symbol.name for symbol in elf.get_section_by_name(".dynsym").iter_symbols()
        if symbol["st_shndx"] != "SHN_UNDEF" and symbol.name
        and symbol["st_info"]["bind"] != "STB_LOCAL"
    )


def needed_libraries(elf: ELFFile) -> list[str]:
    return [tag.needed for tag in elf.get_section_by_name(".dynamic").iter_tags()
            if tag.entry.d_tag == "DT_NEEDED"]


def problems(module: BinaryIO, glibc: Version) -> list[str]:
    """What keeps the module from loading on every system with glibc `glibc`."""
    elf = ELFFile(module)
    found = [
        f"asks for GLIBC_{format_version(version)} (above {format_version(glibc)}): "
        + ", ".join(sorted(symbols))
        for version, symbols in sorted(glibc_needs(elf).items()) if version > glibc
    ]
    if extra := [name for name in exports(elf) if name != ENTRY_POINT]:
        found.append(f"exports {len(extra)} symbols besides {ENTRY_POINT}: {', '.join(extra[:10])}")
    if ENTRY_POINT not in exports(elf):
        found.append(f"does not export {ENTRY_POINT}")
    if outside := [name for name in needed_libraries(elf) if name not in SYSTEM_LIBRARIES]:
        found.append(f"needs libraries beyond the system's: {', '.join(outside)}")
    return found


def describe(module: BinaryIO) -> str:
    elf = ELFFile(module)
    needs = glibc_needs(elf)
    newest = max(needs)
    return (f"needs {', '.join(needed_libraries(elf))}; exports {', '.join(exports(elf))}; "
            f"newest glibc version GLIBC_{format_version(newest)} for "
            f"{', '.join(sorted(needs[newest])) or 'no symbol'}; versions asked for: "
            + ", ".join(format_version(v) for v in sorted(needs)))


def check(wheel: Path) -> list[str]:
    glibc = tag_glibc(wheel)
    found = []
    with zipfile.ZipFile(wheel) as archive:
        modules = [name for name in archive.namelist() if name.endswith(".so")]
        if not modules:
            return [f"{wheel.name}: no extension module"]
        for name in modules:
            module = io.BytesIO(archive.read(name))
            print(f"{wheel.name}: {name} (glibc {format_version(glibc)}) {describe(module)}")
            found += [f"{wheel.name}: {name} {problem}" for problem in problems(module, glibc)]
    return found


def main(wheels: list[str]) -> int:
    if not wheels:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    found = [problem for wheel in wheels for problem in check(Path(wheel))]
    for problem in found:
        print(problem, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
