"""Image batches handed to worker processes through shared memory.

A batch is copied once into a shared segment and the worker reads it in
place; through a pipe it would be pickled, written, read and unpickled.
"""

from __future__ import annotations

from dataclasses import dataclass
from multiprocessing.shared_memory import SharedMemory

import numpy as np

from .rows import ImageBatch, Rows

_FIELDS = ("ids", "starts", "boxes", "probabilities", "prob_offsets", "uncertainty", "scales")
_ALIGN = 64


def _arrays(batch: ImageBatch) -> list[np.ndarray]:
    r = batch.rows
    return [batch.ids, batch.starts, r.boxes, r.probabilities, r.prob_offsets, r.uncertainty, r.scales]


@dataclass(frozen=True)
class SharedBatch:
    """What travels through the pipe: the segment's name and where each array lies."""

    name: str
    layout: tuple[tuple[str, tuple[int, ...], int], ...]  # dtype, shape, offset per field


def share(batch: ImageBatch) -> tuple[SharedMemory, SharedBatch]:
    """Copies the batch into a new segment; the caller unlinks it once the worker is done."""
    arrays = _arrays(batch)
    offsets, size = [], 0
    for array in arrays:
        offsets.append(size)
        size += -(-array.nbytes // _ALIGN) * _ALIGN
    segment = SharedMemory(create=True, size=max(size, 1))
    for array, offset in zip(arrays, offsets):
        np.ndarray(array.shape, array.dtype, segment.buf, offset)[...] = array
    layout = tuple((a.dtype.str, a.shape, o) for a, o in zip(arrays, offsets))
    return segment, SharedBatch(segment.name, layout)


def open_shared(shared: SharedBatch) -> tuple[SharedMemory, ImageBatch]:
    """The batch as views of the segment; drop every view before closing it."""
    # Workers share the parent's resource tracker, so attaching registers the
    # name a second time, harmlessly, and the parent's unlink clears it.
    segment = SharedMemory(shared.name)
    arrays = dict(zip(_FIELDS, (np.ndarray(shape, np.dtype(dtype), segment.buf, offset)
                                for dtype, shape, offset in shared.layout)))
    rows = Rows(arrays["boxes"], arrays["probabilities"], arrays["prob_offsets"], arrays["uncertainty"],
                arrays["scales"])
    return segment, ImageBatch(arrays["ids"], arrays["starts"], rows)
