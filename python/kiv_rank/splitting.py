"""Rows to images, in row order, whatever the order of the images.

A first pass (see surveying) reads only the image keys, part by part in the
workers; here its findings are merged into one numbering of the images, in
order of first appearance, with each one's rows in every part of the input.
Consecutive parts then make tasks, and a task knows which of its images lie
wholly inside it. The worker that reads a task groups its rows by image and
scores those; the rows of an image that lies in several tasks go back to the
main process, which holds them until every piece is in and puts them
together in task order. With contiguous images that is an image at either
end of a task; an image whose rows are scattered is held, rows and all,
until its last piece arrives.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from .errors import InputError
from .reading import PART_ROWS, Batch, Part, numbers
from .rows import ImageBatch, Rows
from .scoring import BATCH_ROWS


def encode_keys(chunks: Sequence[pa.Array]) -> tuple[pa.Array, np.ndarray]:
    """The distinct keys in order of first appearance (int64 or string, never a
    dictionary), and each row's position among them."""
    if len(chunks) == 1 and not pa.types.is_dictionary(chunks[0].type):
        return _encode(chunks[0])
    pieces = [_encode(chunk) for chunk in chunks]
    if not pieces:
        return pa.array([], pa.string()), np.zeros(0, np.int64)
    # Equal values may come from different dictionaries, or twice from one.
    distinct, mapping = _encode(concat_keys([values for values, _ in pieces]))
    shifts = np.cumsum([0] + [len(values) for values, _ in pieces[:-1]])
    return distinct, np.concatenate([mapping[codes + shift] for (_, codes), shift in zip(pieces, shifts)])


def _encode(keys: pa.Array) -> tuple[pa.Array, np.ndarray]:
    if pa.types.is_dictionary(keys.type):
        # Only the indices are hashed; the dictionary may hold unused or repeated values.
        encoded = pc.dictionary_encode(keys.indices)
        return plain_keys(keys.dictionary.take(encoded.dictionary)), numbers(encoded.indices).astype(np.int64)
    encoded = pc.dictionary_encode(plain_keys(keys))
    return encoded.dictionary, numbers(encoded.indices).astype(np.int64)


def plain_keys(keys: pa.Array) -> pa.Array:
    """Keys of one type whatever the file stored: int64 (uint64 beyond its
    range) or string."""
    if pa.types.is_integer(keys.type):
        try:
            return keys.cast(pa.int64())
        except pa.ArrowInvalid:
            return keys.cast(pa.uint64())
    return keys if pa.types.is_string(keys.type) else keys.cast(pa.string())


def same_type(arrays: Sequence[pa.Array]) -> list[pa.Array]:
    """Plain keys of one kind as one type: int64 beside uint64 becomes uint64."""
    if len({array.type for array in arrays}) <= 1:
        return list(arrays)
    try:
        return [array.cast(pa.uint64()) for array in arrays]
    except pa.ArrowInvalid:
        raise InputError("image keys mix negative integers with integers beyond the 64-bit signed range") from None


def concat_keys(arrays: Sequence[pa.Array]) -> pa.Array:
    arrays = same_type(arrays)
    try:
        return pa.concat_arrays(arrays)
    except (pa.ArrowInvalid, pa.ArrowCapacityError):  # more than 2 GiB of strings
        return pa.concat_arrays([array.cast(pa.large_string()) for array in arrays])


def _encode_parts(arrays: Sequence[pa.Array]) -> tuple[pa.Array, np.ndarray]:
    """encode_keys for plain keys, without joining them first. From the system
    allocator, which gives the memory back once freed: mimalloc, Arrow's
    default, kept about 80 MiB of a million images' worth in the main process."""
    pool = pa.system_memory_pool()
    arrays = same_type(arrays)
    try:
        encoded = pc.dictionary_encode(pa.chunked_array(arrays), memory_pool=pool).chunks
    except (pa.ArrowInvalid, pa.ArrowCapacityError):  # more than 2 GiB of strings
        encoded = pc.dictionary_encode(pa.chunked_array([a.cast(pa.large_string()) for a in arrays]),
                                       memory_pool=pool).chunks
    keys = encoded[-1].dictionary
    # Every chunk refers to the one final dictionary.
    assert all(len(chunk.dictionary) == len(keys) for chunk in encoded)
    return keys, np.concatenate([numbers(chunk.indices).astype(np.int64) for chunk in encoded])


@dataclass(frozen=True)
class PartKeys:
    """What the first pass learns of one part: its distinct keys in order of
    first appearance there, each one's rows and first row in the part."""

    source: str
    keys: pa.Array
    counts: np.ndarray  # int64
    firsts: np.ndarray  # int64

    @classmethod
    def of(cls, source: str, chunks: Sequence[pa.Array]) -> PartKeys:
        keys, codes = encode_keys(chunks)
        # Codes count up from 0 in order of first appearance: a code above
        # every earlier one is met for the first time.
        seen = np.maximum.accumulate(codes)
        firsts = np.flatnonzero(np.concatenate([[True], codes[1:] > seen[:-1]])) if len(codes) else codes
        return cls(source, keys, np.bincount(codes, minlength=len(keys)), firsts.astype(np.int64))

    @property
    def rows(self) -> int:
        return int(self.counts.sum())


@dataclass
class KeyIndex:
    """The images of an input, numbered in order of first appearance; arrays only."""

    keys: pa.Array  # int64 or string, image by image
    counts: np.ndarray  # int64, rows of each image
    first_rows: np.ndarray  # int64, each image's first row in the input
    # Per part of the first pass: the ids met, in order of first appearance there, and their row counts.
    parts: list[tuple[np.ndarray, np.ndarray]]
    rows: int

    def __len__(self) -> int:
        return len(self.keys)

    def key(self, image: int) -> object:
        return self.keys[image].as_py()

    @classmethod
    def merge(cls, surveyed: Sequence[PartKeys]) -> KeyIndex:
        """One numbering from the parts' keys, in input order."""
        if not surveyed:
            return cls(pa.array([], pa.string()), *(np.zeros(0, np.int64),) * 2, [], 0)
        kinds = [pa.types.is_integer(part.keys.type) for part in surveyed]
        odd = next((i for i, kind in enumerate(kinds) if kind != kinds[0]), None)
        if odd is not None:
            here, there = ("integer", "string") if kinds[odd] else ("string", "integer")
            raise InputError(f"{surveyed[odd].source}: image keys are {here}s here but {there}s in "
                             f"{surveyed[0].source}")
        keys, ids = _encode_parts([part.keys for part in surveyed])
        lengths = [len(part.keys) for part in surveyed]
        met = np.concatenate([part.counts for part in surveyed])
        counts = np.bincount(ids, weights=met, minlength=len(keys)).astype(np.int64)
        part_rows = np.array([part.rows for part in surveyed], dtype=np.int64)
        starts = np.cumsum(part_rows) - part_rows
        places = np.repeat(starts, lengths) + np.concatenate([part.firsts for part in surveyed])
        seen = np.maximum.accumulate(ids)
        first_rows = places[np.concatenate([[True], ids[1:] > seen[:-1]])]
        ends = np.cumsum(lengths)[:-1]
        return cls(keys, counts, first_rows, list(zip(np.split(ids, ends), np.split(met, ends))),
                   int(part_rows.sum()))


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
            if len(met) == 1:  # a part's ids are distinct already
                ids, inside = met[0]
            else:
                distinct, first, where = np.unique(np.concatenate([ids for ids, _ in met]), return_index=True,
                                                   return_inverse=True)
                order = np.argsort(first)
                ids = distinct[order]
                inside = np.bincount(where, weights=np.concatenate([counts for _, counts in met]))[order]
            tasks.append(Task(tuple(parts[start:end]), ids, inside == index.counts[ids]))
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
    distinct, codes = encode_keys([batch.keys for _, batch in batches])
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
            raise ragged(prob_column, distinct[image].as_py(), source_of(int(bad[0])))
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
                self.errors.append(((last, image), ragged(self._prob_column, self._index.key(image), odd[2])))
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
