"""Files and tables to batches of rows: the columns checked, then converted
to the extension's types (float32 / int64), one record batch at a time."""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.json as pa_json
import pyarrow.parquet as pq

from .columns import Columns
from .errors import InputError
from .rows import Rows

PARQUET_SUFFIXES = (".parquet", ".parq", ".pq")
JSON_LINES_SUFFIXES = (".jsonl", ".ndjson")
# Rows per record batch read from Parquet; a row group larger than this is read in pieces.
READ_BATCH_ROWS = 65_536


@dataclass(frozen=True)
class Batch:
    """Rows of one source: their image keys, their detections, and which
    columns had values that changed when narrowed to float32."""

    keys: pa.Array
    rows: Rows
    rounded: frozenset[str]


class Source:
    """One file or table; batches come in row order."""

    name: str

    def schema(self) -> pa.Schema:
        raise NotImplementedError

    def record_batches(self, names: list[str]) -> Iterator[pa.RecordBatch]:
        raise NotImplementedError


@dataclass
class ParquetSource(Source):
    path: Path
    name: str = field(init=False)

    def __post_init__(self) -> None:
        self.name = str(self.path)

    def _file(self) -> pq.ParquetFile:
        try:
            # pre_buffer would fetch every row group of the file before the first batch.
            return pq.ParquetFile(self.path, pre_buffer=False)
        except (OSError, pa.ArrowException) as error:
            raise InputError(f"{self.name}: cannot read it as Parquet: {error}") from None

    def schema(self) -> pa.Schema:
        return self._file().schema_arrow

    def record_batches(self, names: list[str]) -> Iterator[pa.RecordBatch]:
        with self._file() as parquet:
            try:
                yield from parquet.iter_batches(batch_size=READ_BATCH_ROWS, columns=names)
            except (OSError, pa.ArrowException) as error:
                raise InputError(f"{self.name}: cannot read it as Parquet: {error}") from None


@dataclass
class JsonLinesSource(Source):
    """Read whole: pyarrow parses a JSON Lines file in one piece. The table
    read for the schema serves the next read, so the first pass parses once."""

    path: Path
    name: str = field(init=False)
    _table: pa.Table | None = field(init=False, default=None, repr=False)

    def __post_init__(self) -> None:
        self.name = str(self.path)

    def _read(self) -> pa.Table:
        try:
            return pa_json.read_json(self.path)
        except (OSError, pa.ArrowException) as error:
            raise InputError(f"{self.name}: cannot read it as JSON Lines: {error}") from None

    def schema(self) -> pa.Schema:
        self._table = self._read()
        return self._table.schema

    def record_batches(self, names: list[str]) -> Iterator[pa.RecordBatch]:
        table, self._table = self._table or self._read(), None
        return iter(table.select(names).to_batches())


@dataclass
class TableSource(Source):
    table: pa.Table
    name: str = "table"

    def schema(self) -> pa.Schema:
        return self.table.schema

    def record_batches(self, names: list[str]) -> Iterator[pa.RecordBatch]:
        return iter(self.table.select(names).to_batches(READ_BATCH_ROWS))


def find_sources(paths: Iterable[str | Path]) -> list[Source]:
    """Data files under the given paths, in sorted path order; directories are
    searched recursively, skipping names starting with '.' or '_'."""
    files: set[Path] = set()
    for given in paths:
        path = Path(given)
        if path.is_dir():
            found = [f for f in path.rglob("*") if f.is_file() and _is_data_file(f.relative_to(path))]
            if not found:
                raise InputError(f"{path}: no Parquet or JSON Lines files in this directory")
            files.update(found)
        elif path.is_file():
            if path.suffix.lower() not in PARQUET_SUFFIXES + JSON_LINES_SUFFIXES:
                raise InputError(f"{path}: not a Parquet (.parquet) or JSON Lines (.jsonl) file")
            files.add(path)
        else:
            raise InputError(f"{path}: no such file or directory")
    if not files:
        raise InputError("no input files given")
    return [ParquetSource(f) if f.suffix.lower() in PARQUET_SUFFIXES else JsonLinesSource(f)
            for f in sorted(files)]


def _is_data_file(relative: Path) -> bool:
    return (relative.suffix.lower() in PARQUET_SUFFIXES + JSON_LINES_SUFFIXES
            and not any(part.startswith((".", "_")) for part in relative.parts))


def check_schema(schema: pa.Schema, columns: Columns, source: str) -> None:
    """Every needed column present and of a usable type."""
    for name in columns.names():
        if schema.get_field_index(name) < 0:
            raise InputError(f"{source}: no column '{name}' (columns: {', '.join(schema.names)})")
    kinds = [(columns.image, _is_key, "strings or integers"),
             *((name, _is_number, "numbers") for name in (*columns.boxes, columns.uncertainty)),
             (columns.probabilities, _is_number_list, "lists of numbers"),
             (columns.scale, pa.types.is_integer, "integers")]
    for name, fits, wanted in kinds:
        kind = schema.field(name).type
        if not fits(kind):
            raise InputError(f"{source}: column '{name}' holds {kind}, not {wanted}")


def _value_type(kind: pa.DataType) -> pa.DataType:
    return kind.value_type if pa.types.is_dictionary(kind) else kind


def _is_number(kind: pa.DataType) -> bool:
    return pa.types.is_integer(kind) or pa.types.is_floating(kind)


def _is_key(kind: pa.DataType) -> bool:
    kind = _value_type(kind)
    return pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_integer(kind)


def _is_number_list(kind: pa.DataType) -> bool:
    return ((pa.types.is_list(kind) or pa.types.is_large_list(kind) or pa.types.is_fixed_size_list(kind))
            and _is_number(kind.value_type))


def keys_of(batch: pa.RecordBatch, name: str, source: str) -> pa.Array:
    keys = batch.column(name)
    if pa.types.is_dictionary(keys.type):
        keys = keys.dictionary_decode()
    if keys.null_count:
        raise InputError(f"{source}: column '{name}' has missing values")
    return keys


def convert(batch: pa.RecordBatch, columns: Columns, source: str) -> Batch:
    """The batch's detections as float32 / int64 arrays, rounding to nearest
    where a value has no exact float32."""
    rounded: set[str] = set()

    def column(name: str) -> pa.Array:
        values = batch.column(name)
        if values.null_count:
            raise InputError(f"{source}: column '{name}' has missing values")
        return values

    def float32(name: str, values: pa.Array) -> np.ndarray:
        return narrow(values.to_numpy(zero_copy_only=False), name, rounded)

    n = batch.num_rows
    boxes = np.empty((n, 4), dtype=np.float32)
    for j, name in enumerate(columns.boxes):
        boxes[:, j] = float32(name, column(name))

    probs = column(columns.probabilities)
    flat = probs.flatten()
    if flat.null_count:
        raise InputError(f"{source}: column '{columns.probabilities}' has missing values")
    if pa.types.is_fixed_size_list(probs.type):
        prob_offsets = np.arange(n + 1, dtype=np.int64) * probs.type.list_size
    else:
        prob_offsets = probs.offsets.to_numpy().astype(np.int64)
        prob_offsets -= prob_offsets[0]

    scales = column(columns.scale).to_numpy(zero_copy_only=False)
    if scales.dtype == np.uint64 and n and scales.max() > np.iinfo(np.int64).max:
        raise InputError(f"{source}: column '{columns.scale}' has values beyond the 64-bit signed range")

    rows = Rows(boxes, float32(columns.probabilities, flat), prob_offsets,
                float32(columns.uncertainty, column(columns.uncertainty)), scales.astype(np.int64))
    return Batch(keys_of(batch, columns.image, source), rows, frozenset(rounded))


def narrow(values: np.ndarray, name: str, rounded: set[str]) -> np.ndarray:
    if values.dtype == np.float32:
        return values
    with np.errstate(over="ignore"):  # beyond float32's range rounds to infinity
        narrowed = values.astype(np.float32)
    if values.dtype != np.float16 and np.any((narrowed != values) & ~np.isnan(narrowed)):
        rounded.add(name)
    return narrowed
