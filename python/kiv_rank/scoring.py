"""Images to outcomes: KIV.run on each image of a batch.

Imports NumPy and the extension only, so that the command line reads its
defaults without pyarrow.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field

import numpy as np

import kiv_rs

from .rows import ImageBatch

# KIV's thresholds when none are given.
IOU_THRESHOLD = 0.5
SCORE_THRESHOLD = 0.05
# Rows of put-together images handed to a worker at a time: large enough that a
# hand-over costs little beside the scoring, small enough that memory stays low.
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
    run = kiv_rs.KIV(iou_threshold, score_threshold).run
    scores: list[float] = []
    failures: dict[int, str] = {}
    for i, arguments in enumerate(batch.arguments()):
        try:
            scores.append(run(*arguments)[0])
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # the extension's internal failures derive from BaseException
            scores.append(math.nan)
            failures[int(batch.ids[i])] = f"{type(error).__name__}: {error}"
    return BatchOutcome(batch.ids, np.array(scores, dtype=np.float32), failures)


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
