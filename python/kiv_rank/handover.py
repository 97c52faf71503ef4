"""Image batches handed to worker processes through shared memory.

A batch is copied once into a shared segment and the worker reads it in
place; through a pipe it would be pickled, written, read and unpickled.
Segments are reused from batch to batch: creating and unlinking one per
batch costs more than the copy.
"""

from __future__ import annotations

from dataclasses import dataclass
from multiprocessing.shared_memory import SharedMemory

import numpy as np

from .rows import ImageBatch, Rows

_FIELDS = ("ids", "starts", "boxes", "probabilities", "prob_offsets", "uncertainty", "scales")
_ALIGN = 64
_MIN_SEGMENT = 8 << 20


def _arrays(batch: ImageBatch) -> list[np.ndarray]:
    r = batch.rows
    return [batch.ids, batch.starts, r.boxes, r.probabilities, r.prob_offsets, r.uncertainty, r.scales]


@dataclass(frozen=True)
class SharedBatch:
    """What travels through the pipe: the segment's name and where each array lies."""

    name: str
    layout: tuple[tuple[str, tuple[int, ...], int], ...]  # dtype, shape, offset per field


class Segments:
    """The parent's segments: free ones are reused, all are unlinked at the end."""

    def __init__(self) -> None:
        self._free: list[SharedMemory] = []
        self._all: list[SharedMemory] = []

    def share(self, batch: ImageBatch) -> tuple[SharedMemory, SharedBatch]:
        """Copies the batch into a free segment; give it back with release()."""
        arrays = _arrays(batch)
        offsets, size = [], 0
        for array in arrays:
            offsets.append(size)
            size += -(-array.nbytes // _ALIGN) * _ALIGN
        segment = next((s for s in self._free if s.size >= size), None)
        if segment is None:
            segment = SharedMemory(create=True, size=max(size, _MIN_SEGMENT))
            self._all.append(segment)
        else:
            self._free.remove(segment)
        for array, offset in zip(arrays, offsets):
            np.ndarray(array.shape, array.dtype, segment.buf, offset)[...] = array
        layout = tuple((a.dtype.str, a.shape, o) for a, o in zip(arrays, offsets))
        return segment, SharedBatch(segment.name, layout)

    def release(self, segment: SharedMemory) -> None:
        self._free.append(segment)

    def close(self) -> None:
        for segment in self._all:
            segment.close()
            segment.unlink()
        self._free.clear()
        self._all.clear()


# A worker's attachments, kept for the next batch in the same segment.
_attached: dict[str, SharedMemory] = {}


def open_shared(shared: SharedBatch) -> ImageBatch:
    """The batch as views of the segment, valid until the segment is reused."""
    segment = _attached.get(shared.name)
    if segment is None:
        # Workers share the parent's resource tracker, so attaching registers the
        # name a second time, harmlessly, and the parent's unlink clears it.
        segment = _attached[shared.name] = SharedMemory(shared.name)
    arrays = dict(zip(_FIELDS, (np.ndarray(shape, np.dtype(dtype), segment.buf, offset)
                                for dtype, shape, offset in shared.layout)))
    rows = Rows(arrays["boxes"], arrays["probabilities"], arrays["prob_offsets"], arrays["uncertainty"],
                arrays["scales"])
    return ImageBatch(arrays["ids"], arrays["starts"], rows)
