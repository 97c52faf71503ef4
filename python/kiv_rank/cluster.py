"""The same scoring as a Dask job, for pools stored across many files and machines.

Each row carries its place in the input (partition number and row within it),
so after the shuffle that brings an image's rows together, every partition
puts them back in input order and scores them with the local functions
unchanged. Ties are broken by each image's first place, as in a local run.
"""

from __future__ import annotations

import logging
import time
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import pyarrow as pa

from .api import check_thresholds, check_workers, in_process
from .columns import Columns
from .dependencies import require
from .errors import ImageFailed, InputError
from .ranking import Ranking, rank_outcomes
from .reading import ParquetSource, TableSource, check_schema, find_sources
from .scoring import IOU_THRESHOLD, SCORE_THRESHOLD, Outcomes, one_thread_pool

if TYPE_CHECKING:
    import pandas
    from dask.dataframe import DataFrame
    from distributed import Client

PLACE = "_kiv_rank_place"  # partition number << PARTITION_SHIFT | row within the partition
PARTITION_SHIFT = 40


def _with_place(frame: pandas.DataFrame, partition_info: dict | None = None) -> pandas.DataFrame:
    number = partition_info["number"] if partition_info else 0
    return frame.assign(**{PLACE: (number << PARTITION_SHIFT) + np.arange(len(frame), dtype=np.int64)})


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
    one_thread_pool()
    table = pa.Table.from_pandas(frame, preserve_index=False).sort_by(PLACE)
    places = table.column(PLACE).to_numpy()
    scored = in_process([TableSource(table.drop_columns([PLACE]), name="partition")], columns, iou_threshold,
                        score_threshold)
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
    table = rank_outcomes(pa.array(outcomes["image"]), outcomes["detections"].to_numpy(), scores, places)
    rounded = {name for names in outcomes["rounded"] for name in names.split(",")}
    return Ranking(table, int(outcomes["detections"].sum()), time.perf_counter() - start, columns.among(rounded))


@contextmanager
def client_for(address: str, workers: int | None) -> Iterator[Client]:
    """A client of the scheduler at `address`, or of a local cluster of
    `workers` single-threaded processes (default: one per processor) for "local"."""
    from distributed import Client, LocalCluster

    if address == "local":
        with LocalCluster(n_workers=check_workers(workers), threads_per_worker=1, processes=True,
                          dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
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
                    score_threshold: float = SCORE_THRESHOLD, fail_fast: bool = False) -> Ranking:
    """rank_dask over Parquet files (directories are searched), in sorted path order."""
    require("dask.dataframe", "dask", "--dask")
    require("distributed", "dask", "--dask")
    import dask.dataframe as dd

    sources = find_sources(paths)
    others = [s.name for s in sources if not isinstance(s, ParquetSource)]
    if others:
        raise InputError(f"{others[0]}: a Dask run reads Parquet files only")
    for source in sources:
        check_schema(source.schema(), columns, source.name)
    with client_for(address, workers):
        frame = dd.read_parquet([s.name for s in sources], columns=columns.names())
        return rank_dask(frame, columns=columns, iou_threshold=iou_threshold,
                         score_threshold=score_threshold, fail_fast=fail_fast)
