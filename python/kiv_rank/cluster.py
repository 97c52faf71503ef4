"""Scoring on a Dask cluster.

Files go through the plan of a local run, task for task: the cluster's
workers take the place of local processes, each reading its own row groups
(from local disks or an object store), so the ranking is the local one and no
row goes through pandas or a shuffle. A dask DataFrame has no file structure
to plan on: there each row carries its place in the input (partition number
and row within it), and after the shuffle that brings an image's rows
together, every partition puts them back in input order and scores them with
the local functions unchanged. Ties are broken by each image's first place.
"""

from __future__ import annotations

import logging
import os
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import CancelledError, Executor, Future
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa

from .api import check_thresholds, check_workers, in_process, score_sources
from .columns import Columns
from .dependencies import require
from .errors import ImageFailed, InputError
from .ranking import Ranking, rank_outcomes
from .reading import TableSource, find_sources
from .scoring import IOU_THRESHOLD, SCORE_THRESHOLD, Outcomes, one_thread_pool
from .stores import one_line
from .uris import is_uri

if TYPE_CHECKING:
    import pandas
    from dask.dataframe import DataFrame
    from distributed import Client

PLACE = "_kiv_rank_place"  # partition number << PARTITION_SHIFT | row within the partition
PARTITION_SHIFT = 40


def _with_place(frame: pandas.DataFrame, partition_info: dict | None = None) -> pandas.DataFrame:
    number = partition_info["number"] if partition_info else 0
    return frame.assign(**{PLACE: (number << PARTITION_SHIFT) + np.arange(len(frame), dtype=np.int64)})


def _arrow_table(frame: pandas.DataFrame) -> pa.Table:
    """The columns as Arrow, NaN kept as NaN: from_pandas would make it a
    missing value, which fails the whole input rather than one image."""
    return pa.table({name: pa.array(frame[name], from_pandas=False) for name in frame.columns})


def _outcome_frame(keys: pandas.Series, places: np.ndarray, scores: np.ndarray, counts: np.ndarray,
                   errors: list[str | None], rounded: str) -> pandas.DataFrame:
    import pandas

    return pandas.DataFrame({
        "image": keys.reset_index(drop=True),
        "place": pandas.Series(places, dtype=np.int64),
        "score": pandas.Series(scores, dtype=np.float32),
        "detections": pandas.Series(counts, dtype=np.int64),
        "error": pandas.Series(errors, dtype=object),
        "rounded": pandas.Series([rounded] * len(places), dtype=object),
    })


def _score_partition(frame: pandas.DataFrame, columns: Columns, iou_threshold: float,
                     score_threshold: float) -> pandas.DataFrame:
    """One partition's images, each scored on its rows in input order."""
    if frame.empty:  # the shuffle may leave partitions without images, their columns without types
        return _outcome_frame(frame[columns.image], np.zeros(0, np.int64), np.zeros(0, np.float32),
                              np.zeros(0, np.int64), [], "")
    one_thread_pool()
    table = _arrow_table(frame).sort_by(PLACE)
    places = table.column(PLACE).to_numpy()
    with _QUIET:
        scored = in_process([TableSource(table.drop_columns([PLACE]), name="partition")], columns,
                            iou_threshold, score_threshold)
    index, outcomes = scored.index, scored.outcomes
    errors = [outcomes.failures.get(i) for i in range(len(index))]
    import pandas

    keys = pandas.Series(index.keys.to_pylist(), dtype=frame[columns.image].dtype)
    return _outcome_frame(keys, places[index.first_rows], outcomes.scores[:len(index)], index.counts, errors,
                          ",".join(scored.rounded))


def rank_dask(frame: DataFrame, *, columns: Columns = Columns(), iou_threshold: float = IOU_THRESHOLD,
              score_threshold: float = SCORE_THRESHOLD, fail_fast: bool = False) -> Ranking:
    """Ranks the images of a dask DataFrame (one row per detection, partitions in
    input order) on the current Dask client; the same ranking as rank_table."""
    start = time.perf_counter()
    check_thresholds(iou_threshold, score_threshold)
    missing = [name for name in columns.names() if name not in frame.columns]
    if missing:
        raise InputError(f"no column '{missing[0]}' (columns: {', '.join(map(str, frame.columns))})")
    placed = frame[columns.names()].map_partitions(
        _with_place, meta=frame._meta[columns.names()].assign(**{PLACE: np.int64(0)}))
    meta = _outcome_frame(frame._meta[columns.image], np.zeros(0, np.int64), np.zeros(0, np.float32),
                          np.zeros(0, np.int64), [], "")
    outcomes = placed.shuffle(on=columns.image).map_partitions(
        _score_partition, columns, iou_threshold, score_threshold, meta=meta).compute()
    if outcomes.empty:
        raise InputError("the input holds no detections")
    failures = {i: message for i, message in enumerate(outcomes["error"]) if message is not None}
    places = outcomes["place"].to_numpy()
    if fail_fast and failures:
        first = min(failures, key=lambda i: places[i])
        raise ImageFailed(outcomes["image"].iloc[first], failures[first])
    scores = Outcomes(outcomes["score"].to_numpy(dtype=np.float32), failures)
    keys = pa.array(outcomes["image"])
    if pa.types.is_large_string(keys.type):  # dask's strings; a local ranking has plain ones
        keys = keys.cast(pa.string())
    table = rank_outcomes(keys, outcomes["detections"].to_numpy(), scores, places)
    rounded = {name for names in outcomes["rounded"] for name in names.split(",")}
    return Ranking(table, int(outcomes["detections"].sum()), time.perf_counter() - start, columns.among(rounded))


@contextmanager
def client_for(address: str, workers: int | None) -> Iterator[Client]:
    """A client of the scheduler at `address`, or of a local cluster of
    `workers` single-threaded processes (default: one per processor) for "local"."""
    import dask
    from distributed import Client, LocalCluster

    if address == "local":
        # Forked rather than spawned, the workers start in a tenth of the time: they
        # inherit this process's imports. The caller makes the cluster before it
        # reads anything, so no reader's threads or store connections are forked.
        # Its HTTP server starts in any case: on a free port, not on 8787 with a
        # warning when that is taken.
        with dask.config.set({"distributed.worker.multiprocessing-method": "fork"}), \
                LocalCluster(n_workers=check_workers(workers), threads_per_worker=1, processes=True,
                             dashboard_address=":0", silence_logs=logging.ERROR) as cluster, \
                Client(cluster) as client:
            yield client
    else:
        try:
            client = Client(address, timeout=30)
        except (OSError, TimeoutError, ValueError) as error:
            raise InputError(f"--dask {address}: cannot reach the scheduler: {error}") from None
        with client:
            yield client


def rank_dask_files(paths: Iterable[str | Path], address: str, workers: int | None = None, *,
                    columns: Columns = Columns(), iou_threshold: float = IOU_THRESHOLD,
                    score_threshold: float = SCORE_THRESHOLD, fail_fast: bool = False,
                    progress: bool | None = False) -> Ranking:
    """rank_files with the cluster's workers in place of local processes."""
    require("distributed", "dask", "--dask")
    from distributed import KilledWorker

    start = time.perf_counter()
    check_thresholds(iou_threshold, score_threshold)
    with client_for(address, workers) as client:
        # The workers' working folder is not ours.
        sources = find_sources(path if is_uri(path) else Path(path).absolute() for path in paths)
        threads = sum(client.nthreads().values())
        if not threads:
            raise InputError(f"--dask {address}: the cluster has no workers")
        try:
            scored = score_sources(sources, columns, OnWorkers(client), threads, iou_threshold=iou_threshold,
                                   score_threshold=score_threshold, fail_fast=fail_fast, progress=progress)
        except (KilledWorker, CancelledError, OSError) as error:
            raise InputError(f"--dask {address}: the cluster failed: {type(error).__name__}: "
                             f"{one_line(error)}") from None
    if not len(scored.index):
        raise InputError("the input holds no detections")
    table = rank_outcomes(scored.index.keys, scored.index.counts, scored.outcomes)
    return Ranking(table, scored.index.rows, time.perf_counter() - start, columns.among(scored.rounded))


class OnWorkers(Executor):
    """The client's executor, each job run as a local worker runs it."""

    def __init__(self, client: Client) -> None:
        # Not pure: two jobs with equal arguments are still two jobs, and hashing them costs.
        self._executor = client.get_executor(pure=False)

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future[Any]:
        return self._executor.submit(_as_worker, fn, *args, **kwargs)


def _as_worker(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    one_thread_pool()
    with _QUIET:
        return fn(*args, **kwargs)


class _ReportsSilenced:
    """Standard error (fd 2) to /dev/null while any job of this process runs.
    The extension writes a report there for every failing image, which would
    flood the worker's log; the image's error column keeps its message. The
    descriptor is the process's, so the first job in redirects it and the last
    out puts it back."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._jobs = 0
        self._saved = -1

    def __enter__(self) -> None:
        with self._lock:
            if not self._jobs:
                self._saved = os.dup(2)
                null = os.open(os.devnull, os.O_WRONLY)
                os.dup2(null, 2)
                os.close(null)
            self._jobs += 1

    def __exit__(self, *exc_info: object) -> None:
        with self._lock:
            self._jobs -= 1
            if not self._jobs:
                os.dup2(self._saved, 2)
                os.close(self._saved)


_QUIET = _ReportsSilenced()
