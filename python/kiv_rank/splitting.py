"""Rows to images, in row order, whatever the order of the images.

Two passes over the input. The first reads only the image keys: it numbers
the images in order of first appearance and notes the row where each one
ends. The second hands an image on as soon as its last row is read, so with
contiguous images only the image that straddles two batches waits, while an
image whose rows are scattered waits, rows and all, until its last row.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from .errors import InputError
from .reading import Batch
from .rows import ImageBatch, Rows


@dataclass
class KeyIndex:
    """The images of an input, numbered in order of first appearance."""

    ids: dict[object, int] = field(default_factory=dict)
    keys: list[object] = field(default_factory=list)
    rows: int = 0
    # Per batch of the first pass: the ids met, their row counts and last rows.
    _parts: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = field(default_factory=list)
    counts: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int64))
    first_rows: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int64))
    last_rows: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int64))
    _kind: tuple[str, str] | None = None

    def __len__(self) -> int:
        return len(self.keys)

    def lookup(self, keys: pa.Array, source: str) -> tuple[np.ndarray, np.ndarray]:
        """Ids of the batch's distinct keys (in order of first appearance in
        the batch, -1 for a key not seen before) and each row's position among them."""
        distinct, codes = self._encode(keys, source)
        return np.array([self.ids.get(key, -1) for key in distinct], dtype=np.int64), codes

    def _encode(self, keys: pa.Array, source: str) -> tuple[list[object], np.ndarray]:
        kind = "integer" if pa.types.is_integer(keys.type) else "string"
        if self._kind is None:
            self._kind = (kind, source)
        elif self._kind[0] != kind:
            raise InputError(f"{source}: image keys are {kind}s here but {self._kind[0]}s in {self._kind[1]}")
        encoded = pc.dictionary_encode(keys)
        return encoded.dictionary.to_pylist(), encoded.indices.to_numpy().astype(np.int64)

    def add(self, keys: pa.Array, source: str) -> None:
        """First pass: one batch of keys."""
        distinct, codes = self._encode(keys, source)
        ids = np.empty(len(distinct), dtype=np.int64)
        new = []
        for j, key in enumerate(distinct):
            known = self.ids.get(key)
            if known is None:
                known = self.ids[key] = len(self.keys)
                self.keys.append(key)
                new.append(j)
            ids[j] = known
        positions = np.arange(len(codes), dtype=np.int64)
        last = np.zeros(len(ids), dtype=np.int64)
        np.maximum.at(last, codes, positions)
        self._parts.append((ids, np.bincount(codes, minlength=len(ids)), self.rows + last))
        if new:
            first = np.full(len(ids), len(codes), dtype=np.int64)
            np.minimum.at(first, codes, positions)
            self.first_rows = np.concatenate([self.first_rows, self.rows + first[new]])
        self.rows += len(codes)

    def finish(self) -> None:
        """Gathers the first pass's counts and last rows by image."""
        ids, counts, last = (np.concatenate([p[k] for p in self._parts] or [np.zeros(0, np.int64)])
                             for k in range(3))
        self.counts = np.bincount(ids, weights=counts, minlength=len(self)).astype(np.int64)
        self.last_rows = np.zeros(len(self), dtype=np.int64)
        np.maximum.at(self.last_rows, ids, last)
        self._parts.clear()


def split_images(batches: Iterable[tuple[str, Batch]], index: KeyIndex,
                 prob_column: str) -> Iterator[ImageBatch]:
    """Second pass: each image, whole and in row order, once its last row is read."""
    waiting: dict[int, list[Rows]] = {}
    row = 0
    for source, batch in batches:
        n = len(batch.rows)
        if n == 0:
            continue
        ids, codes = index.lookup(batch.keys, source)
        if ids.min() < 0:
            raise InputError(f"{source}: the input changed while it was read")
        # Rows grouped by image (in order of first appearance in the batch), row order kept.
        order = np.argsort(codes, kind="stable")
        counts = np.bincount(codes, minlength=len(ids))
        starts = np.cumsum(counts) - counts
        row += n
        complete = index.last_rows[ids] < row
        ragged = _ragged_image(batch.rows.widths()[order], starts, counts)
        if ragged is not None:
            raise _ragged(prob_column, index.keys[int(ids[ragged])], source)

        held = ~complete
        if waiting:
            held |= np.isin(ids, np.fromiter(waiting, np.int64, len(waiting)))
        for j in np.flatnonzero(held):
            rows = order[starts[j]:starts[j] + counts[j]]
            waiting.setdefault(int(ids[j]), []).append(batch.rows.take(rows))
        finished = [int(i) for i in ids[held & complete]]
        if finished:
            parts = [Rows.concat(waiting.pop(i)) for i in finished]
            for i, part in zip(finished, parts):
                widths = part.widths()
                if widths.min() != widths.max():
                    raise _ragged(prob_column, index.keys[i], source)
            yield ImageBatch.pack(np.array(finished, dtype=np.int64), [len(p) for p in parts],
                                  Rows.concat(parts))

        whole = complete & ~held
        if whole.any():
            take = order[whole[codes[order]]]
            yield ImageBatch.pack(ids[whole], counts[whole], batch.rows.take(take))
    if waiting:
        raise InputError(f"the input changed while it was read ({len(waiting)} images left incomplete)")


def _ragged_image(widths: np.ndarray, starts: np.ndarray, counts: np.ndarray) -> int | None:
    """The first image (by position in the batch) whose rows, grouped, differ in width."""
    if len(widths) == 0 or widths.min() == widths.max():
        return None
    bad = np.flatnonzero(widths != np.repeat(widths[starts], counts))
    return int(np.searchsorted(starts, bad[0], side="right")) - 1 if len(bad) else None


def _ragged(column: str, key: object, source: str) -> InputError:
    return InputError(f"{source}: column '{column}': image {key!r} has rows with different numbers "
                      "of class probabilities")
