"""The Python API: rank a pool of images from files, a table or per-image arrays.

The command line is a thin layer over these functions; the options carry the
same names.
"""

from __future__ import annotations

import os
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

import kiv_rs

from .columns import Columns
from .errors import InputError
from .handover import score_batches, score_tasks
from .processes import InProcess, worker_pool
from .ranking import Ranking, rank_outcomes
from .reading import Source, TableSource, find_sources, narrow
from .rows import ImageBatch, Rows
from .scoring import BATCH_ROWS, IOU_THRESHOLD, SCORE_THRESHOLD, Outcomes
from .splitting import KeyIndex, plan_tasks
from .surveying import survey_sources

if TYPE_CHECKING:
    from concurrent.futures import Executor

    import pandas

# Jobs out per worker: one running, one waiting so that it never idles.
JOBS_PER_WORKER = 2


@dataclass(frozen=True)
class Scored:
    """What score_sources gives: the images numbered in order of first
    appearance (keys, row counts, first rows, as arrays), each one's score or
    failure by that number, and the columns rounded to float32."""

    index: KeyIndex
    outcomes: Outcomes
    rounded: frozenset[str]


def score_sources(sources: Sequence[Source], columns: Columns, executor: Executor, workers: int, *,
                  iou_threshold: float, score_threshold: float, fail_fast: bool = False,
                  progress: bool | None = False) -> Scored:
    """Has the executor's `workers` read the sources' image keys, then read and
    score the input task by task. Any Executor will do: every job is a
    module-level function of plain data, and nothing assumes it runs here."""
    parts, index = survey_sources(sources, columns, executor, workers, progress=progress)
    if not len(index):
        return Scored(index, Outcomes.empty(0), frozenset())
    outcomes, rounded = score_tasks(plan_tasks(parts, index), index, columns, executor, JOBS_PER_WORKER * workers,
                                    iou_threshold=iou_threshold, score_threshold=score_threshold,
                                    fail_fast=fail_fast, progress=progress)
    return Scored(index, outcomes, rounded)


def in_process(sources: Sequence[Source], columns: Columns, iou_threshold: float,
               score_threshold: float) -> Scored:
    """score_sources on the calling thread: for a process that is itself one of many workers."""
    return score_sources(sources, columns, InProcess(), 1, iou_threshold=iou_threshold,
                         score_threshold=score_threshold)


def check_thresholds(iou_threshold: float, score_threshold: float) -> None:
    try:
        kiv_rs.KIV(iou_threshold, score_threshold)
    except TypeError as error:
        raise InputError(f"thresholds: {error}") from None


def check_workers(workers: int | None) -> int:
    workers = len(os.sched_getaffinity(0)) if workers is None else workers
    if workers < 1:
        raise InputError(f"workers must be at least 1, not {workers}")
    return workers


def _rank_sources(sources: Sequence[Source], columns: Columns, iou_threshold: float,
                  score_threshold: float, workers: int | None, fail_fast: bool,
                  progress: bool | None) -> Ranking:
    start = time.perf_counter()
    check_thresholds(iou_threshold, score_threshold)
    processes = check_workers(workers)
    with worker_pool(processes) as pool:
        scored = score_sources(sources, columns, pool, processes, iou_threshold=iou_threshold,
                               score_threshold=score_threshold, fail_fast=fail_fast, progress=progress)
    if not len(scored.index):
        raise InputError("the input holds no detections")
    table = rank_outcomes(scored.index.keys, scored.index.counts, scored.outcomes)
    return Ranking(table, scored.index.rows, time.perf_counter() - start, columns.among(scored.rounded))


def rank_files(paths: Iterable[str | Path], *, columns: Columns = Columns(),
               iou_threshold: float = IOU_THRESHOLD, score_threshold: float = SCORE_THRESHOLD,
               workers: int | None = None, fail_fast: bool = False,
               progress: bool | None = False) -> Ranking:
    """Ranks the images of Parquet and JSON Lines files (directories are searched),
    read in sorted path order. `workers` processes score (default: one per processor)."""
    return _rank_sources(find_sources(paths), columns, iou_threshold, score_threshold, workers,
                         fail_fast, progress)


def rank_table(table: pa.Table | pandas.DataFrame, *, columns: Columns = Columns(),
               iou_threshold: float = IOU_THRESHOLD, score_threshold: float = SCORE_THRESHOLD,
               workers: int | None = None, fail_fast: bool = False,
               progress: bool | None = False) -> Ranking:
    """Ranks the images of a pyarrow Table or pandas DataFrame, one row per detection."""
    if not isinstance(table, pa.Table):
        table = pa.Table.from_pandas(table, preserve_index=False)
    return _rank_sources([TableSource(table)], columns, iou_threshold, score_threshold, workers,
                         fail_fast, progress)


def rank_images(images: Iterable[tuple[Any, Any, Any, Any, Any]], *,
                iou_threshold: float = IOU_THRESHOLD, score_threshold: float = SCORE_THRESHOLD,
                workers: int | None = None, fail_fast: bool = False,
                progress: bool | None = False) -> Ranking:
    """Ranks images given one by one as (key, boxes (N, >=4), probabilities (N, C),
    uncertainty (N,), scales (N,)), array-likes as KIV.run takes them."""
    start = time.perf_counter()
    check_thresholds(iou_threshold, score_threshold)
    processes = check_workers(workers)
    keys: list[object] = []
    seen: set[object] = set()
    counts: list[int] = []
    rounded: set[str] = set()

    def batches() -> Iterator[ImageBatch]:
        parts: list[Rows] = []
        rows = 0
        for key, *arrays in images:
            if key in seen:
                raise InputError(f"image {key!r} is given twice")
            seen.add(key)
            parts.append(_image_rows(key, arrays, rounded))
            keys.append(key)
            counts.append(len(parts[-1]))
            rows += counts[-1]
            if rows >= BATCH_ROWS:
                yield _packed(len(keys), parts)
                parts, rows = [], 0
        if parts:
            yield _packed(len(keys), parts)

    with worker_pool(processes) as pool:
        outcomes = score_batches(batches(), pool, JOBS_PER_WORKER * processes, iou_threshold=iou_threshold,
                                 score_threshold=score_threshold, fail_fast=fail_fast, progress=progress,
                                 total=getattr(images, "__len__", lambda: None)(), key_of=keys.__getitem__)
    if not keys:
        raise InputError("no images given")
    table = rank_outcomes(keys, np.array(counts, dtype=np.int64), outcomes)
    rounded_in_order = tuple(name for name in ("boxes", "probabilities", "uncertainty") if name in rounded)
    return Ranking(table, int(sum(counts)), time.perf_counter() - start, rounded_in_order)


def _packed(n_keys: int, parts: list[Rows]) -> ImageBatch:
    """The last len(parts) images given, as one batch."""
    ids = np.arange(n_keys - len(parts), n_keys, dtype=np.int64)
    return ImageBatch.pack(ids, [len(p) for p in parts], Rows.concat(parts))


def _image_rows(key: object, arrays: list[Any], rounded: set[str]) -> Rows:
    boxes, probs, uncertainty, scales = (np.asarray(a) for a in arrays)
    n = len(scales) if scales.ndim == 1 else -1
    shapes_fit = (boxes.ndim == 2 and boxes.shape[0] == n and boxes.shape[1] >= 4 and probs.ndim == 2
                  and probs.shape[0] == n and uncertainty.shape == (n,))
    if not shapes_fit:
        raise InputError(f"image {key!r}: arrays of shapes {boxes.shape}, {probs.shape}, "
                         f"{uncertainty.shape}, {scales.shape} do not make N detections "
                         "((N, >=4), (N, C), (N,), (N,))")
    for name, array in (("boxes", boxes), ("probabilities", probs), ("uncertainty", uncertainty)):
        if not (np.issubdtype(array.dtype, np.floating) or np.issubdtype(array.dtype, np.integer)):
            raise InputError(f"image {key!r}: {name} hold {array.dtype}, not numbers")
    if not np.issubdtype(scales.dtype, np.integer):
        raise InputError(f"image {key!r}: scales hold {scales.dtype}, not integers")
    return Rows(np.ascontiguousarray(narrow(boxes[:, :4], "boxes", rounded)),
                np.ascontiguousarray(narrow(probs, "probabilities", rounded)).reshape(-1),
                np.arange(n + 1, dtype=np.int64) * probs.shape[1],
                narrow(uncertainty, "uncertainty", rounded), scales.astype(np.int64))
