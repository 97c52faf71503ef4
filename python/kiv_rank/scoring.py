"""Images to outcomes: KIV.run on each image, in worker processes.

Imports NumPy and the extension only, so a worker process starts light.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
import sys
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass, field
from multiprocessing.shared_memory import SharedMemory

import numpy as np

import kiv_rs

from .errors import ImageFailed
from .handover import Segments, SharedBatch, open_shared
from .rows import ImageBatch

# KIV's thresholds when none are given.
IOU_THRESHOLD = 0.5
SCORE_THRESHOLD = 0.05
# Rows handed to a worker at a time: large enough that a hand-over costs little
# beside the scoring, small enough that the load stays even and memory low.
BATCH_ROWS = 16_384


@dataclass
class BatchOutcome:
    ids: np.ndarray  # int64 (k,)
    scores: np.ndarray  # float32 (k,), NaN where the image failed
    failures: dict[int, str] = field(default_factory=dict)  # image id -> message


def one_thread_pool() -> None:
    """Makes this process's extension pool single-threaded: the processes
    themselves spread the work, so more threads would only oversubscribe.
    Takes effect only before the first run of the process."""
    os.environ["RAYON_NUM_THREADS"] = "1"


def score_batch(batch: ImageBatch, iou_threshold: float, score_threshold: float) -> BatchOutcome:
    """Scores every image of the batch; a failing image gets its message, not a score."""
    scorer = kiv_rs.KIV(iou_threshold, score_threshold)
    scores = np.full(len(batch), np.nan, dtype=np.float32)
    failures: dict[int, str] = {}
    for i in range(len(batch)):
        try:
            scores[i] = scorer.run(*batch.image(i))[0]
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # the extension's internal failures derive from BaseException
            failures[int(batch.ids[i])] = f"{type(error).__name__}: {error}"
    return BatchOutcome(batch.ids, scores, failures)


def score_shared(shared: SharedBatch, iou_threshold: float, score_threshold: float) -> BatchOutcome:
    """score_batch in a worker, on a batch in shared memory."""
    outcome = score_batch(open_shared(shared), iou_threshold, score_threshold)
    return BatchOutcome(outcome.ids.copy(), outcome.scores, outcome.failures)


@dataclass
class Outcomes:
    """Every image's score, by image id; failed images keep NaN and a message."""

    scores: np.ndarray
    failures: dict[int, str]

    @classmethod
    def empty(cls, n_images: int) -> Outcomes:
        return cls(np.full(n_images, np.nan, dtype=np.float32), {})

    def add(self, outcome: BatchOutcome) -> None:
        if len(self.scores) <= int(outcome.ids.max(initial=-1)):
            grown = np.full(max(2 * len(self.scores), int(outcome.ids.max()) + 1), np.nan, np.float32)
            grown[:len(self.scores)] = self.scores
            self.scores = grown
        self.scores[outcome.ids] = outcome.scores
        self.failures.update(outcome.failures)


def _worker_start() -> None:
    one_thread_pool()
    # Ctrl-C is the parent's to handle; it shuts the workers down.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _batches(images: Iterable[ImageBatch]) -> Iterator[ImageBatch]:
    for batch in images:
        yield from batch.split(BATCH_ROWS)


def score_images(images: Iterable[ImageBatch], *, iou_threshold: float, score_threshold: float,
                 workers: int, fail_fast: bool, progress: bool | None, total: int | None,
                 key_of: Callable[[int], object]) -> Outcomes:
    """Scores the images in `workers` processes. At most two batches per worker
    are in flight, so memory follows the batch size, not the pool. With
    fail_fast, the first failure met raises ImageFailed; key_of(id) names it."""
    from tqdm import tqdm

    outcomes = Outcomes.empty(total or 0)
    # forkserver: workers never inherit the parent's threads (pyarrow's among them).
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload([__name__])
    bar = tqdm(total=total, unit="img", disable=None if progress is None else not progress, file=sys.stderr,
               dynamic_ncols=True, smoothing=0.1)
    pending: dict[Future[BatchOutcome], SharedMemory] = {}
    segments = Segments()

    def collect(done: Iterable[Future[BatchOutcome]]) -> None:
        for future in done:
            segments.release(pending.pop(future))
            outcome = future.result()
            if fail_fast and outcome.failures:
                image = min(outcome.failures)
                raise ImageFailed(key_of(image), outcome.failures[image])
            outcomes.add(outcome)
            bar.update(len(outcome.ids))

    with bar, ProcessPoolExecutor(workers, mp_context=context, initializer=_worker_start) as pool:
        try:
            for batch in _batches(images):
                if len(pending) >= 2 * workers:
                    collect(wait(pending, return_when=FIRST_COMPLETED).done)
                segment, shared = segments.share(batch)
                pending[pool.submit(score_shared, shared, iou_threshold, score_threshold)] = segment
            collect(wait(pending).done)
        except BaseException:
            pool.shutdown(wait=True, cancel_futures=True)
            raise
        finally:
            segments.close()
    return outcomes
