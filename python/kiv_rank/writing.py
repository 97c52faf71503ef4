"""The ranking to a file, or CSV to standard output.

Scores are written so that they read back to the very value `KIV.run`
returned: float32 in Parquet, and in text the shortest decimal of its exact
double value, which parses to that value as a double and as a float32.
A file appears only once it is complete: it is written beside its target
under a temporary name and renamed.
"""

from __future__ import annotations

import json
import math
import sys
from collections.abc import Callable
from pathlib import Path, PurePosixPath
from typing import BinaryIO

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq

from .errors import InputError
from .outputs import Staging, check_outputs, staging


def _text_scores(table: pa.Table) -> pa.Table:
    index = table.schema.get_field_index("score")
    return table.set_column(index, "score", pc.cast(table.column("score"), pa.float64()))


def _write_csv(table: pa.Table, out: BinaryIO) -> None:
    pa_csv.write_csv(_text_scores(table), out)


def _write_parquet(table: pa.Table, out: BinaryIO) -> None:
    pq.write_table(table, out)


def _json_number(value: float | None) -> float | str | None:
    if value is None or math.isfinite(value):
        return value
    return "NaN" if math.isnan(value) else "Infinity" if value > 0 else "-Infinity"


def _write_jsonl(table: pa.Table, out: BinaryIO) -> None:
    names = table.column_names
    for batch in _text_scores(table).to_batches(65_536):
        columns = [batch.column(name).to_pylist() for name in names]
        columns[names.index("score")] = [_json_number(value) for value in columns[names.index("score")]]
        out.write("".join(json.dumps(dict(zip(names, row)), allow_nan=False) + "\n"
                          for row in zip(*columns)).encode())


FORMATS: dict[str, Callable[[pa.Table, BinaryIO], None]] = {
    ".csv": _write_csv, ".parquet": _write_parquet, ".jsonl": _write_jsonl,
}


def check_target(path: Path | str) -> None:
    """Fails before any work when the name has no format; where it lies is checked by outputs."""
    if PurePosixPath(path).suffix.lower() not in FORMATS:
        raise InputError(f"{path}: the output must end in {', '.join(FORMATS)}")


def write_ranking(table: pa.Table, path: Path | str | None, stage: Staging | None = None) -> None:
    """Writes the table in the format of path's suffix; CSV to standard output without a path.
    Given a stage, the file appears when the stage commits."""
    if path is None:
        sys.stdout.flush()
        _write_csv(table, sys.stdout.buffer)
        sys.stdout.buffer.flush()
        return
    check_target(path)
    if stage is None:
        check_outputs([path], [])
        with staging() as own:
            write_ranking(table, path, own)
        return
    with stage.file(path) as out:
        FORMATS[PurePosixPath(path).suffix.lower()](table, out)
