"""Files and tables to parts a worker reads on its own, their columns checked,
then converted to the extension's types (float32 / int64)."""

from __future__ import annotations

import io
import json
import os
import re
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path, PurePath, PurePosixPath
from typing import BinaryIO, NoReturn

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.json as pa_json
import pyarrow.parquet as pq

from .columns import Columns
from .errors import InputError
from .rows import Rows
from .stores import find_files, located
from .uris import is_uri

PARQUET_SUFFIXES = (".parquet", ".parq", ".pq")
JSON_LINES_SUFFIXES = (".jsonl", ".ndjson")
# The columns of a ranking this tool writes.
RANKING_COLUMNS = ("rank", "image", "score", "detections", "error")
# Rows a worker reads at a time: consecutive row groups of a file are read
# together up to this many, so that small row groups do not cost a read each.
PART_ROWS = 65_536


@dataclass(frozen=True)
class Batch:
    """Rows of one source: their image keys, their detections, and which
    columns had values that changed when narrowed to float32."""

    keys: pa.Array
    rows: Rows
    rounded: frozenset[str]


@dataclass(frozen=True)
class Part:
    """Consecutive rows of one source that a worker process can read by itself."""

    source: str
    rows: int

    def read(self, names: list[str]) -> pa.Table:
        """The named columns; the first is the image key."""
        raise NotImplementedError


@dataclass(frozen=True)
class RowGroups(Part):
    row_groups: tuple[int, ...]

    def read(self, names: list[str]) -> pa.Table:
        # A key stored as a dictionary stays one: its distinct values come cheap.
        with _open_parquet(self.source, read_dictionary=names[:1]) as parquet:
            try:
                return parquet.read_row_groups(self.row_groups, columns=names, use_threads=False)
            except (OSError, pa.ArrowException) as error:
                raise InputError(f"{self.source}: cannot read it as Parquet: {error}") from None


@dataclass(frozen=True)
class JsonLinesFile(Part):
    def read(self, names: list[str]) -> pa.Table:
        table = _read_json(self.source).select(names)
        for name in names:
            _check_lines(table.column(name), name, self.source)
        return table


@dataclass(frozen=True)
class TableSlice(Part):
    table: pa.Table = field(repr=False)

    def read(self, names: list[str]) -> pa.Table:
        return self.table.select(names)

    def __reduce__(self) -> tuple[object, ...]:
        # Pickling a slice would carry the whole table's buffers; the IPC stream carries the slice's.
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, self.table.schema) as stream:
            stream.write_table(self.table)
        return _table_slice, (self.source, self.rows, sink.getvalue())


def _table_slice(source: str, rows: int, stream: pa.Buffer) -> TableSlice:
    return TableSlice(source, rows, pa.ipc.open_stream(stream).read_all())


def _open_parquet(path: str, read_dictionary: list[str] | None = None) -> pq.ParquetFile:
    try:
        # pre_buffer reads a part's column chunks in a few large requests rather than
        # one each: that pays from a store, where a request costs a round trip, not from a disk.
        where, store = located(path)
        return pq.ParquetFile(where, filesystem=store, pre_buffer=store is not None,
                              read_dictionary=read_dictionary)
    except (OSError, pa.ArrowException) as error:
        raise InputError(f"{path}: cannot read it as Parquet: {error}") from None


def _read_json(path: str) -> pa.Table:
    try:
        where, store = located(path)
        if store is None:
            return pa_json.read_json(where)
        with store.open_input_stream(where) as file:
            return pa_json.read_json(file)
    except (OSError, pa.ArrowException) as error:
        raise InputError(f"{path}: cannot read it as JSON Lines: {_on_line(path, error)}") from None


_ROW = re.compile(r"in row (\d+)$")


def _on_line(path: str, error: Exception) -> str:
    """pyarrow's message with the file's line in place of its row, which
    counts from the start of one block of the file: read as one block, the
    row is the file's."""
    message = str(error)
    if not isinstance(error, pa.ArrowInvalid) or not _ROW.search(message):
        return message
    try:
        with _binary(path) as file:
            text = file.read()
        whole_file = pa_json.ReadOptions(block_size=min(len(text) + 1, 2**31 - 1))
        pa_json.read_json(io.BytesIO(text), read_options=whole_file)
    except pa.ArrowInvalid as whole:
        if match := _ROW.search(str(whole)):
            return _ROW.sub(f"on line {_line_of(path, int(match[1]))}", str(whole))
    except (OSError, pa.ArrowException):
        pass
    return message


def _line_of(path: str, row: int) -> int:
    """The 1-based line of a 0-based row: blank lines hold no row."""
    with _binary(path) as lines:
        for number, line in enumerate(lines, start=1):
            if line.strip():
                if not row:
                    return number
                row -= 1
    return number + 1


def _binary(path: str) -> BinaryIO:
    """A file to read again after a failure; from a store, the object whole."""
    where, store = located(path)
    if store is None:
        return open(where, "rb")
    with store.open_input_stream(where) as stream:
        return io.BytesIO(stream.readall())


def _check_lines(values: pa.ChunkedArray, name: str, path: str) -> None:
    """A line without the key (or with null) named by its number."""
    if values.null_count:
        row = pc.index(pc.is_null(values), True).as_py()
        raise InputError(f"{path}: line {_line_of(path, row)} has no value for '{name}'")


class Source:
    """One file or table, cut into parts in row order."""

    name: str
    # Whether the main process may open it to cut it into parts (a footer);
    # otherwise a worker does, parsing it once for the keys.
    cheap_to_open = True
    # A table at hand: the main process cuts it, however many sources there are.
    in_memory = False

    def schema(self) -> pa.Schema:
        raise NotImplementedError

    def parts(self) -> list[Part]:
        raise NotImplementedError

    def keys(self, part: Part, name: str) -> pa.ChunkedArray:
        """The image keys of one of this source's parts."""
        return part.read([name]).column(0)

    def key_part(self, part: Part, name: str) -> Part:
        """What a worker reads the keys of `part` from."""
        return part


@dataclass
class ParquetSource(Source):
    """Opened once for the schema, the parts and the keys: with thousands of
    small files, opening is most of the work of the first pass."""

    path: Path | str  # a URI stays a string
    name: str = field(init=False)
    _file: pq.ParquetFile | None = field(init=False, default=None, repr=False, compare=False)

    def __post_init__(self) -> None:
        self.name = str(self.path)

    def __getstate__(self) -> dict[str, object]:
        return {**self.__dict__, "_file": None}

    def _opened(self) -> pq.ParquetFile:
        if self._file is None:
            self._file = _open_parquet(self.name)
        return self._file

    def schema(self) -> pa.Schema:
        return self._opened().schema_arrow

    def keys(self, part: Part, name: str) -> pa.ChunkedArray:
        assert isinstance(part, RowGroups)
        try:
            return self._opened().read_row_groups(part.row_groups, columns=[name], use_threads=False).column(0)
        except (OSError, pa.ArrowException) as error:
            raise InputError(f"{self.name}: cannot read it as Parquet: {error}") from None

    def parts(self) -> list[Part]:
        metadata = self._opened().metadata
        parts: list[Part] = []
        groups: list[int] = []
        rows = 0
        for group in range(metadata.num_row_groups):
            groups.append(group)
            rows += metadata.row_group(group).num_rows
            # An empty part would make an empty task, which has nothing to score.
            if rows >= PART_ROWS or (rows and group == metadata.num_row_groups - 1):
                parts.append(RowGroups(self.name, rows, tuple(groups)))
                groups, rows = [], 0
        return parts


@dataclass
class JsonLinesSource(Source):
    """One part: pyarrow parses a JSON Lines file in one piece. The table read
    for the schema serves the first pass, so the worker of the first pass
    parses it once and the worker that scores it once more."""

    path: Path | str
    name: str = field(init=False)
    _table: pa.Table | None = field(init=False, default=None, repr=False)
    cheap_to_open = False

    def __post_init__(self) -> None:
        self.name = str(self.path)

    def schema(self) -> pa.Schema:
        self._table = _read_json(self.name)
        return self._table.schema

    def parts(self) -> list[Part]:
        rows = (self._table or _read_json(self.name)).num_rows
        return [JsonLinesFile(self.name, rows)]

    def keys(self, part: Part, name: str) -> pa.ChunkedArray:
        table, self._table = self._table or _read_json(self.name), None
        _check_lines(table.column(name), name, self.name)
        return table.column(name)


@dataclass
class TableSource(Source):
    table: pa.Table
    name: str = "table"
    in_memory = True

    def schema(self) -> pa.Schema:
        return self.table.schema

    def parts(self) -> list[Part]:
        return [TableSlice(self.name, min(PART_ROWS, self.table.num_rows - start),
                           self.table.slice(start, PART_ROWS))
                for start in range(0, self.table.num_rows, PART_ROWS)]

    def key_part(self, part: Part, name: str) -> Part:
        assert isinstance(part, TableSlice)
        return TableSlice(part.source, part.rows, part.table.select([name]))


def find_sources(paths: Iterable[str | Path]) -> list[Source]:
    """Data files under the given paths (local or in a store), in sorted path
    order, each file once however it is reached (two spellings, a symlink, a
    hard link: the first in that order is kept); directories and prefixes are
    searched recursively, skipping names starting with '.' or '_' and, in a
    local directory, this tool's own rankings."""
    files: set[Path | str] = set()
    for given in paths:
        if is_uri(given):
            objects = find_files(str(given), _is_data_file)
            if objects == [given] and _suffix(given) not in PARQUET_SUFFIXES + JSON_LINES_SUFFIXES:
                raise InputError(f"{given}: not a Parquet (.parquet) or JSON Lines (.jsonl) file")
            files.update(objects)
            continue
        path = Path(given)
        if path.is_dir():
            found = [f for f in path.rglob("*") if f.is_file() and _is_data_file(f.relative_to(path))
                     and not _is_ranking(f)]
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
    once: dict[tuple[int, int] | str, Path | str] = {}
    for file in sorted(files, key=lambda f: str(f).split("/")):
        if isinstance(file, str):
            once.setdefault(file, file)
        else:
            status = file.stat()
            once.setdefault((status.st_dev, status.st_ino), file)
    return [ParquetSource(f) if _suffix(f) in PARQUET_SUFFIXES else JsonLinesSource(f) for f in once.values()]


def _is_ranking(path: Path) -> bool:
    """A ranking this tool wrote (its columns and no others), which a later run
    must not take for detections when it lies in an input directory."""
    try:
        if path.suffix.lower() in PARQUET_SUFFIXES:
            # The footer holds the column names as they are: only a likely
            # ranking pays for reading the schema, a third of a millisecond.
            with open(path, "rb") as parquet:
                parquet.seek(-8, os.SEEK_END)
                length, magic = int.from_bytes(parquet.read(4), "little"), parquet.read(4)
                parquet.seek(-8 - length, os.SEEK_END)
                footer = parquet.read(length)
            if magic != b"PAR1" or not all(name.encode() in footer for name in RANKING_COLUMNS):
                return False
            names = pq.read_schema(path).names
        else:
            with open(path, "rb") as lines:
                first = json.loads(lines.readline(1 << 16) or b"null")
            names = list(first) if isinstance(first, dict) else []
    except (OSError, ValueError, pa.ArrowException):
        return False  # not ours: reading it later says what is wrong
    return names == list(RANKING_COLUMNS)


def _suffix(file: Path | str) -> str:
    return PurePosixPath(file).suffix.lower()


def _is_data_file(relative: PurePath) -> bool:
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


def keys_of(keys: pa.Array, name: str, source: str) -> pa.Array:
    """The image keys, checked; a dictionary stays one unless it holds a missing value."""
    if pa.types.is_dictionary(keys.type) and keys.dictionary.null_count:
        keys = keys.dictionary_decode()
    if keys.null_count:
        raise InputError(f"{source}: column '{name}' has missing values")
    return keys


def _missing(batch: pa.RecordBatch, row: int, name: str, image: str, source: str) -> NoReturn:
    """A missing value named by its image: a row number would mean little in a batch."""
    key = batch.column(image)[row].as_py()
    raise InputError(f"{source}: column '{name}' has missing values (image {key!r} first)")


def convert(batch: pa.RecordBatch, columns: Columns, source: str) -> Batch:
    """The batch's detections as float32 / int64 arrays, rounding to nearest
    where a value has no exact float32."""
    rounded: set[str] = set()

    def column(name: str) -> pa.Array:
        values = batch.column(name)
        if values.null_count:
            _missing(batch, pc.index(pc.is_null(values), True).as_py(), name, columns.image, source)
        return values

    def float32(name: str, values: pa.Array) -> np.ndarray:
        return narrow(numbers(values), name, rounded)

    n = batch.num_rows
    boxes = np.empty((n, 4), dtype=np.float32)
    for j, name in enumerate(columns.boxes):
        boxes[:, j] = float32(name, column(name))

    probs = column(columns.probabilities)
    flat = probs.flatten()
    if flat.null_count:
        first = pc.index(pc.is_null(flat), True).as_py()
        _missing(batch, pc.list_parent_indices(probs)[first].as_py(), columns.probabilities, columns.image, source)
    if pa.types.is_fixed_size_list(probs.type):
        prob_offsets = np.arange(n + 1, dtype=np.int64) * probs.type.list_size
    else:
        prob_offsets = numbers(probs.offsets).astype(np.int64)
        prob_offsets -= prob_offsets[0]

    scales = numbers(column(columns.scale))
    if scales.dtype == np.uint64 and n and scales.max() > np.iinfo(np.int64).max:
        raise InputError(f"{source}: column '{columns.scale}' has values beyond the 64-bit signed range")

    rows = Rows(boxes, float32(columns.probabilities, flat), prob_offsets,
                float32(columns.uncertainty, column(columns.uncertainty)), scales.astype(np.int64, copy=False))
    return Batch(keys_of(batch.column(columns.image), columns.image, source), rows, frozenset(rounded))


def numbers(values: pa.Array) -> np.ndarray:
    """Numbers without missing values as a NumPy view. to_numpy would import
    pandas where it is installed: a fifth of a second in every process."""
    return np.from_dlpack(values)


def arrow(values: np.ndarray, valid: np.ndarray | None = None) -> pa.Array:
    """NumPy numbers as an Arrow array, missing where `valid` is false. pa.array
    would import pandas where it is installed, as to_numpy would."""
    values = np.ascontiguousarray(values)
    bitmap = None if valid is None else pa.py_buffer(np.packbits(valid, bitorder="little"))
    return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values), [bitmap, pa.py_buffer(values)])


def narrow(values: np.ndarray, name: str, rounded: set[str]) -> np.ndarray:
    if values.dtype == np.float32:
        return values
    with np.errstate(over="ignore"):  # beyond float32's range rounds to infinity
        narrowed = values.astype(np.float32)
    if values.dtype != np.float16 and np.any((narrowed != values) & ~np.isnan(narrowed)):
        rounded.add(name)
    return narrowed
