"""Detections as the extension takes them, and images packed side by side.

Only NumPy here: whatever the input was, this is what travels between
processes and what KIV.run is given.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Rows:
    """Detections in row order; row r's class probabilities are
    probabilities[prob_offsets[r]:prob_offsets[r + 1]]."""

    boxes: np.ndarray  # float32 (n, 4)
    probabilities: np.ndarray  # float32, flat
    prob_offsets: np.ndarray  # int64 (n + 1,), from 0
    uncertainty: np.ndarray  # float32 (n,)
    scales: np.ndarray  # int64 (n,)

    def __len__(self) -> int:
        return len(self.scales)

    def widths(self) -> np.ndarray:
        """Number of class probabilities of each row."""
        return np.diff(self.prob_offsets)

    def take(self, rows: np.ndarray) -> Rows:
        """The given rows, in the given order."""
        widths = self.widths()
        n = len(self)
        if n and widths.min() == widths.max():
            # Every row has as many classes: one 2-D gather.
            width = int(widths[0])
            probabilities = self.probabilities.reshape(n, width)[rows].reshape(-1)
            prob_offsets = np.arange(len(rows) + 1, dtype=np.int64) * width
        else:
            taken = widths[rows]
            prob_offsets = np.zeros(len(rows) + 1, dtype=np.int64)
            np.cumsum(taken, out=prob_offsets[1:])
            source = np.repeat(self.prob_offsets[rows] - prob_offsets[:-1], taken)
            source += np.arange(prob_offsets[-1], dtype=np.int64)
            probabilities = self.probabilities[source]
        return Rows(self.boxes[rows], probabilities, prob_offsets,
                    self.uncertainty[rows], self.scales[rows])

    @staticmethod
    def concat(parts: Sequence[Rows]) -> Rows:
        if len(parts) == 1:
            return parts[0]
        ends = np.cumsum([p.prob_offsets[-1] for p in parts])
        shifts = np.concatenate([[0], ends[:-1]])
        prob_offsets = np.concatenate(
            [[0]] + [p.prob_offsets[1:] + shift for p, shift in zip(parts, shifts)]).astype(np.int64)
        return Rows(
            np.concatenate([p.boxes for p in parts]),
            np.concatenate([p.probabilities for p in parts]),
            prob_offsets,
            np.concatenate([p.uncertainty for p in parts]),
            np.concatenate([p.scales for p in parts]),
        )


@dataclass(frozen=True)
class ImageBatch:
    """Whole images, one after another: image i is rows starts[i]:starts[i + 1]."""

    ids: np.ndarray  # int64 (k,), each image's number in order of first appearance
    starts: np.ndarray  # int64 (k + 1,)
    rows: Rows

    def __len__(self) -> int:
        return len(self.ids)

    @classmethod
    def pack(cls, ids: np.ndarray, counts: Sequence[int] | np.ndarray, rows: Rows) -> ImageBatch:
        """Images of the given row counts, one after another in `rows`."""
        starts = np.zeros(len(counts) + 1, dtype=np.int64)
        np.cumsum(counts, out=starts[1:])
        return cls(ids, starts, rows)

    def arguments(self) -> Iterator[tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]]:
        """The four arguments of KIV.run for each image in turn, as views. At a
        few detections per image this loop costs as much as the scoring: the
        bounds are Python ints, and rows of one width are one 2-D array."""
        r = self.rows
        starts = self.starts.tolist()
        widths = r.widths()
        if len(widths) and widths.min() == widths.max():
            probabilities = r.probabilities.reshape(len(r), int(widths[0]))
            for start, end in zip(starts[:-1], starts[1:]):
                yield r.boxes[start:end], probabilities[start:end], r.uncertainty[start:end], r.scales[start:end]
            return
        offsets = r.prob_offsets[self.starts].tolist()
        for start, end, first, last in zip(starts[:-1], starts[1:], offsets[:-1], offsets[1:]):
            width = (last - first) // (end - start) if end > start else 0
            yield (r.boxes[start:end], r.probabilities[first:last].reshape(end - start, width),
                   r.uncertainty[start:end], r.scales[start:end])

    def subset(self, keep: np.ndarray) -> ImageBatch:
        """The images where keep is true, in order; views when they are consecutive."""
        chosen = np.flatnonzero(keep)
        if len(chosen) == 0:
            return self.images(0, 0)
        if chosen[-1] - chosen[0] + 1 == len(chosen):
            return self.images(int(chosen[0]), int(chosen[-1]) + 1)
        counts = np.diff(self.starts)[chosen]
        shifts = self.starts[chosen] - (np.cumsum(counts) - counts)
        rows = np.repeat(shifts, counts) + np.arange(int(counts.sum()), dtype=np.int64)
        return ImageBatch.pack(self.ids[chosen], counts, self.rows.take(rows))

    def images(self, i: int, j: int) -> ImageBatch:
        """Images i to j - 1 (views where possible)."""
        if (i, j) == (0, len(self)):
            return self
        start, end = int(self.starts[i]), int(self.starts[j])
        first, last = int(self.rows.prob_offsets[start]), int(self.rows.prob_offsets[end])
        r = self.rows
        rows = Rows(r.boxes[start:end], r.probabilities[first:last],
                    r.prob_offsets[start:end + 1] - first, r.uncertainty[start:end], r.scales[start:end])
        return ImageBatch(self.ids[i:j], self.starts[i:j + 1] - start, rows)
