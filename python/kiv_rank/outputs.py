"""Where a run's files go: checked before any input is read, never over an
input, and written together or not at all.

A file appears only once every file of the run is complete: each is written
beside its target under a temporary name, and all are renamed at the end.
An output that is a symlink is written through to its target; replacing a
file keeps its mode. An output named by URI is held in memory and goes up to
its store as one object before the local files are renamed.
"""

from __future__ import annotations

import io
import os
import stat
import tempfile
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO

from .errors import InputError
from .uris import is_uri


def check_outputs(outputs: Iterable[Path | str], inputs: Iterable[Path | str]) -> None:
    """Fails, before anything is read, when an output could not be written or
    would be (by any spelling, symlink or hard link) one of the inputs or another output."""
    taken: dict[tuple[int, int] | Path | str, str] = {}
    for given in inputs:
        key = given if is_uri(given) else _identity(Path(given)) or Path(given).resolve()
        taken[key] = "an input of this run"
    for path in outputs:
        if is_uri(path):
            from .stores import check_object_target

            check_object_target(str(path))
            if path in taken:
                raise InputError(f"{path}: is {taken[path]}; refusing to write over it")
            taken[path] = "another output of this run"
            continue
        path = Path(path)
        target = path.resolve()
        if target.is_dir():
            raise InputError(f"{path}: is a directory")
        if not target.parent.is_dir():
            raise InputError(f"{path}: no such directory: {path.parent}")
        identity = _identity(target) or target
        if identity in taken:
            raise InputError(f"{path}: is {taken[identity]}; refusing to write over it")
        taken[identity] = "another output of this run"
        _check_writable(path, target.parent)


def _identity(path: Path) -> tuple[int, int] | None:
    try:
        status = path.stat()
    except OSError:
        return None
    return status.st_dev, status.st_ino


def _check_writable(path: Path, folder: Path) -> None:
    try:
        fd, probe = tempfile.mkstemp(dir=folder, prefix=".kiv-rank-probe.")
    except OSError as error:
        raise InputError(f"{path}: cannot write there: {error.strerror}") from None
    os.close(fd)
    os.unlink(probe)


class Staging:
    """Files written under temporary names, renamed to their targets together."""

    def __init__(self) -> None:
        self._staged: list[tuple[str, Path]] = []
        self._objects: list[tuple[str, io.BytesIO]] = []

    @contextmanager
    def file(self, path: Path | str) -> Iterator[BinaryIO]:
        if is_uri(path):
            buffer = io.BytesIO()
            self._objects.append((str(path), buffer))
            yield buffer
            return
        target = Path(path).resolve()
        fd, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
        self._staged.append((temporary, target))
        with os.fdopen(fd, "wb") as out:
            yield out

    def commit(self) -> None:
        if self._objects:
            from .stores import upload

            for uri, buffer in self._objects:
                upload(uri, buffer.getbuffer())
            self._objects.clear()
        for temporary, target in self._staged:
            os.chmod(temporary, _mode_for(target))
            os.replace(temporary, target)
        self._staged.clear()

    def discard(self) -> None:
        self._objects.clear()
        for temporary, _ in self._staged:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
        self._staged.clear()


@contextmanager
def staging() -> Iterator[Staging]:
    """Files staged in the block appear when it ends without error; otherwise none does."""
    staged = Staging()
    try:
        yield staged
        staged.commit()
    except BaseException:
        staged.discard()
        raise


def _mode_for(target: Path) -> int:
    try:
        return stat.S_IMODE(target.stat().st_mode)
    except FileNotFoundError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask
