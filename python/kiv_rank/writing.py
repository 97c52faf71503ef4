"""The ranking to a file, or CSV to standard output.

Scores are written so that they read back to the very value `KIV.run`
returned: float32 in Parquet, and in text the shortest decimal of its exact
double value, which parses to that value as a double and as a float32.
A file appears only once it is complete: it is written beside its target
under a temporary name and renamed.
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path, PurePosixPath
from typing import BinaryIO

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq

from .errors import InputError
from .stores import check_object_target, uploading
from .uris import is_uri


def _text_scores(table: pa.Table) -> pa.Table:
    index = table.schema.get_field_index("score")
    return table.set_column(index, "score", pc.cast(table.column("score"), pa.float64()))


def _write_csv(table: pa.Table, out: BinaryIO) -> None:
    pa_csv.write_csv(_text_scores(table), out)


def _write_parquet(table: pa.Table, out: BinaryIO) -> None:
    pq.write_table(table, out)


def _write_jsonl(table: pa.Table, out: BinaryIO) -> None:
    names = table.column_names
    for batch in _text_scores(table).to_batches(65_536):
        columns = [batch.column(name).to_pylist() for name in names]
        out.write("".join(json.dumps(dict(zip(names, row))) + "\n" for row in zip(*columns)).encode())


FORMATS: dict[str, Callable[[pa.Table, BinaryIO], None]] = {
    ".csv": _write_csv, ".parquet": _write_parquet, ".jsonl": _write_jsonl,
}


def check_target(path: Path | str) -> None:
    """Fails before any work when the file could not be written."""
    if PurePosixPath(path).suffix.lower() not in FORMATS:
        raise InputError(f"{path}: the output must end in {', '.join(FORMATS)}")
    if is_uri(path):
        check_object_target(str(path))
        return
    path = Path(path)
    if not path.parent.is_dir():
        raise InputError(f"{path}: no such directory: {path.parent}")
    if path.is_dir():
        raise InputError(f"{path}: is a directory")


@contextmanager
def replacing(path: Path | str) -> Iterator[BinaryIO]:
    """A file that takes path's place only when the block ends without error."""
    if is_uri(path):
        with uploading(str(path)) as out:
            yield out
        return
    assert isinstance(path, Path)
    fd, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as out:
            yield out
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_ranking(table: pa.Table, path: Path | str | None) -> None:
    """Writes the table in the format of path's suffix; CSV to standard output without a path."""
    if path is None:
        sys.stdout.flush()
        _write_csv(table, sys.stdout.buffer)
        sys.stdout.buffer.flush()
        return
    check_target(path)
    with replacing(path) as out:
        FORMATS[PurePosixPath(path).suffix.lower()](table, out)
