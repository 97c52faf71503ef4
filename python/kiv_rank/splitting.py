"""Rows to images, in row order, whatever the order of the images.

A first pass reads only the image keys: it numbers the images in order of
first appearance and counts each one's rows in every part of the input.
Consecutive parts then make tasks, and a task knows which of its images lie
wholly inside it. The worker that reads a task groups its rows by image and
scores those; the rows of an image that lies in several tasks go back to the
main process, which holds them until every piece is in and puts them
together in task order. With contiguous images that is an image at either
end of a task; an image whose rows are scattered is held, rows and all,
until its last piece arrives.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from .errors import InputError
from .reading import PART_ROWS, Batch, Part, arrow, keys_of, numbers
from .rows import ImageBatch, Rows
from .scoring import BATCH_ROWS


def encode_keys(chunks: Iterable[pa.Array]) -> tuple[list[object], np.ndarray]:
    """The distinct keys in order of first appearance, and each row's position among them."""
    arrays = list(chunks)
    if len(arrays) == 1:
        return _encode(arrays[0])
    positions: dict[object, int] = {}
    codes = []
    for chunk in arrays:
        values, local = _encode(chunk)
        mapping = np.fromiter((positions.setdefault(v, len(positions)) for v in values), np.int64, len(values))
        codes.append(mapping[local])
    return list(positions), np.concatenate(codes) if codes else np.zeros(0, np.int64)


def _encode(keys: pa.Array) -> tuple[list[object], np.ndarray]:
    if pa.types.is_dictionary(keys.type):
        # Only the indices are hashed; a dictionary may hold unused or repeated values.
        encoded = pc.dictionary_encode(keys.indices)
        values = keys.dictionary.take(encoded.dictionary).to_pylist()
        if len(set(values)) == len(values):
            return values, numbers(encoded.indices).astype(np.int64)
        keys = keys.dictionary_decode()
    encoded = pc.dictionary_encode(keys)
    return encoded.dictionary.to_pylist(), numbers(encoded.indices).astype(np.int64)


@dataclass
class KeyIndex:
    """The images of an input, numbered in order of first appearance."""

    ids: dict[object, int] = field(default_factory=dict)
    keys: list[object] = field(default_factory=list)
    rows: int = 0
    counts: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int64))
    first_rows: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int64))
    # Per part of the first pass: the ids met, in order of first appearance there, and their row counts.
    parts: list[tuple[np.ndarray, np.ndarray]] = field(default_factory=list)
    _firsts: list[np.ndarray] = field(default_factory=list)
    _new_keys: list[pa.ChunkedArray] = field(default_factory=list)
    _kind: tuple[str, str] | None = None

    def __len__(self) -> int:
        return len(self.keys)

    def add(self, keys: pa.ChunkedArray, name: str, source: str) -> None:
        """First pass: the keys of one part."""
        kind = "integer" if pa.types.is_integer(getattr(keys.type, "value_type", keys.type)) else "string"
        if self._kind is None:
            self._kind = (kind, source)
        elif self._kind[0] != kind:
            raise InputError(f"{source}: image keys are {kind}s here but {self._kind[0]}s in {self._kind[1]}")
        distinct, codes = encode_keys(keys_of(chunk, name, source) for chunk in keys.chunks)
        known = len(self.keys)
        ids = np.fromiter((self.ids.setdefault(key, len(self.ids)) for key in distinct), np.int64, len(distinct))
        self.keys.extend(distinct[j] for j in np.flatnonzero(ids >= known))
        # Codes count up from 0 in order of first appearance: a code above every
        # earlier one is met for the first time.
        seen = np.maximum.accumulate(codes)
        firsts = np.flatnonzero(np.concatenate([[True], codes[1:] > seen[:-1]])) if len(codes) else codes
        self._firsts.append(self.rows + firsts[ids >= known])
        self._new_keys.append(keys.take(arrow(firsts[ids >= known])))
        self.parts.append((ids, np.bincount(codes, minlength=len(ids))))
        self.rows += len(codes)

    def finish(self) -> None:
        """Gathers the first pass's counts by image."""
        ids, counts = (np.concatenate([p[k] for p in self.parts] or [np.zeros(0, np.int64)]) for k in range(2))
        self.counts = np.bincount(ids, weights=counts, minlength=len(self)).astype(np.int64)
        self.first_rows = np.concatenate(self._firsts or [np.zeros(0, np.int64)])
        self._firsts.clear()

    def column(self) -> pa.Array:
        """The keys as the ranking's image column: strings or 64-bit integers,
        taken from the input rather than converted back from Python objects."""
        kind = pa.int64() if self._kind and self._kind[0] == "integer" else pa.string()
        chunks = [chunk.dictionary_decode() if pa.types.is_dictionary(chunk.type) else chunk
                  for keys in self._new_keys for chunk in keys.chunks]
        try:
            return pa.concat_arrays([chunk.cast(kind) for chunk in chunks])
        except pa.ArrowException:  # keys beyond int64, or more than 2 GiB of them
            return pa.array(self.keys)


@dataclass(frozen=True)
class Task:
    """Consecutive parts for one worker: the ids of their images in order of
    first appearance among them, and which of those lie wholly inside."""

    parts: tuple[Part, ...]
    ids: np.ndarray  # int64
    whole: np.ndarray  # bool


def plan_tasks(parts: Sequence[Part], index: KeyIndex) -> list[Task]:
    """Consecutive parts of the first pass grouped into tasks of about PART_ROWS rows."""
    tasks: list[Task] = []
    start = rows = 0
    for end, part in enumerate(parts, start=1):
        rows += part.rows
        if rows >= PART_ROWS or end == len(parts):
            met = index.parts[start:end]
            distinct, first, where = np.unique(np.concatenate([ids for ids, _ in met]), return_index=True,
                                               return_inverse=True)
            inside = np.bincount(where, weights=np.concatenate([counts for _, counts in met]))
            order = np.argsort(first)
            ids = distinct[order]
            tasks.append(Task(tuple(parts[start:end]), ids, inside[order] == index.counts[ids]))
            start, rows = end, 0
    return tasks


@dataclass(frozen=True)
class Crossing:
    """The rows a task holds of images that lie in other tasks too, image by
    image in row order, and the source of each one's last row here."""

    images: ImageBatch
    sources: tuple[str, ...]


def split_task(batches: Sequence[tuple[str, Batch]], task: Task, prob_column: str) -> tuple[ImageBatch, Crossing]:
    """A task's rows as its whole images and the pieces of the others, each in row order."""
    distinct, codes = encode_keys(batch.keys for _, batch in batches)
    if len(distinct) != len(task.ids) or len(codes) != sum(part.rows for part in task.parts):
        raise InputError(f"{task.parts[0].source}: the input changed while it was read")
    rows = Rows.concat([batch.rows for _, batch in batches])
    counts = np.bincount(codes, minlength=len(distinct))
    # Contiguous images, the usual order, need no gathering.
    order = None if np.all(codes[1:] >= codes[:-1]) else np.argsort(codes, kind="stable")
    images = ImageBatch.pack(task.ids, counts, rows if order is None else rows.take(order))
    ends = np.cumsum([len(batch.rows) for _, batch in batches])

    def source_of(row: int) -> str:
        """The source of a row of `images`."""
        read = row if order is None else int(order[row])
        return batches[int(np.searchsorted(ends, read, side="right"))][0]

    widths = images.rows.widths()
    if len(widths) and widths.min() != widths.max():
        bad = np.flatnonzero(widths != np.repeat(widths[images.starts[:-1]], counts))
        if len(bad):
            image = int(np.searchsorted(images.starts, bad[0], side="right")) - 1
            raise ragged(prob_column, distinct[image], source_of(int(bad[0])))
    sources = tuple(source_of(int(images.starts[i + 1]) - 1) for i in np.flatnonzero(~task.whole))
    return images.subset(task.whole), Crossing(images.subset(~task.whole), sources)


def ragged(column: str, key: object, source: str) -> InputError:
    return InputError(f"{source}: column '{column}': image {key!r} has rows with different numbers "
                      "of class probabilities")


class Stitcher:
    """The pieces of images that lie in several tasks, put together in task
    order once the last is in; complete images wait to go out as a batch."""

    def __init__(self, index: KeyIndex, prob_column: str) -> None:
        self._index = index
        self._prob_column = prob_column
        self._held: dict[int, list[tuple[int, Rows, str]]] = {}
        self._missing: dict[int, int] = {}
        self._ready: list[tuple[int, int, Rows]] = []  # id, the last task it lies in, rows
        self._ready_rows = 0
        self.errors: list[tuple[tuple[int, int], InputError]] = []  # (task, id): error

    @property
    def holding(self) -> int:
        return len(self._held)

    def add(self, task: int, crossing: Crossing) -> None:
        batch = crossing.images
        for i, image in enumerate(batch.ids.tolist()):
            rows = batch.images(i, i + 1).rows
            pieces = self._held.setdefault(image, [])
            pieces.append((task, rows, crossing.sources[i]))
            missing = self._missing.get(image, int(self._index.counts[image])) - len(rows)
            if missing:
                self._missing[image] = missing
                continue
            del self._held[image]
            self._missing.pop(image, None)
            pieces.sort(key=lambda piece: piece[0])
            last = pieces[-1][0]
            widths = [int(piece[1].widths()[0]) for piece in pieces]
            odd = next((p for p, w in zip(pieces, widths) if w != widths[0]), None)
            if odd is not None:
                self.errors.append(((last, image), ragged(self._prob_column, self._index.keys[image], odd[2])))
                continue
            joined = Rows.concat([piece[1] for piece in pieces])
            self._ready.append((image, last, joined))
            self._ready_rows += len(joined)

    def take(self, everything: bool) -> tuple[ImageBatch, np.ndarray] | None:
        """A batch of complete images and the last task each lies in, once there
        are BATCH_ROWS rows of them (with `everything`, whatever there is)."""
        if not self._ready or (self._ready_rows < BATCH_ROWS and not everything):
            return None
        ready, self._ready, self._ready_rows = self._ready, [], 0
        batch = ImageBatch.pack(np.array([r[0] for r in ready], dtype=np.int64), [len(r[2]) for r in ready],
                                Rows.concat([r[2] for r in ready]))
        return batch, np.array([r[1] for r in ready], dtype=np.int64)
