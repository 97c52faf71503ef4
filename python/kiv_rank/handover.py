"""Work handed to worker processes: a task (read, convert, split and score
its rows) or a batch of whole images goes out; outcomes, and the rows of
images that lie in other tasks too, come back.

Only a window of jobs is out at a time (the caller's: two per worker), so
memory follows the task, not the pool. A failure that stops the run is kept with its place in the
input (the task where the image's last row lies, then the image), and the
first in input order is raised once every earlier task is in: the same one
whatever the number of workers and the order in which they finish.
"""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from dataclasses import dataclass
from typing import Any

import numpy as np

from .columns import Columns
from .errors import ImageFailed, InputError
from .reading import convert
from .rows import ImageBatch
from .scoring import BatchOutcome, Outcomes, score_batch
from .splitting import Crossing, KeyIndex, Stitcher, Task, split_task


@dataclass(frozen=True)
class TaskOutcome:
    outcome: BatchOutcome
    crossing: Crossing
    rounded: frozenset[str]


def run_task(task: Task, columns: Columns, iou_threshold: float, score_threshold: float) -> TaskOutcome:
    """A worker's job: the task's rows read, converted and split, its whole images scored."""
    batches = [(part.source, convert(record_batch, columns, part.source))
               for part in task.parts for record_batch in part.read(columns.names()).to_batches()]
    images, crossing = split_task(batches, task, columns.probabilities)
    rounded = frozenset(name for _, batch in batches for name in batch.rounded)
    return TaskOutcome(score_batch(images, iou_threshold, score_threshold), crossing, rounded)


# A stop's place in the input: the task (or batch) where the image's last row lies, then the image (-1: none).
Place = tuple[int, int]


class Dispatcher:
    """Jobs out to an executor, outcomes gathered, stops kept by place."""

    def __init__(self, executor: Executor, window: int, *, fail_fast: bool, progress: bool | None,
                 total: int | None, key_of: Callable[[int], object]) -> None:
        from tqdm import tqdm

        self.outcomes = Outcomes.empty(total or 0)
        self._executor = executor
        self._window = window
        self._fail_fast = fail_fast
        self._key_of = key_of
        self._pending: dict[Future[Any], tuple[np.ndarray | int, Callable[[Any], BatchOutcome]]] = {}
        self._stops: list[tuple[Place, Exception]] = []
        self._bar = tqdm(total=total, unit="img", disable=None if progress is None else not progress,
                         file=sys.stderr, dynamic_ncols=True, smoothing=0.1)

    @property
    def stopping(self) -> bool:
        return bool(self._stops)

    @property
    def busy(self) -> bool:
        return len(self._pending) >= self._window

    @property
    def idle(self) -> bool:
        return not self._pending

    def submit(self, places: np.ndarray | int, then: Callable[[Any], BatchOutcome],
               fn: Callable[..., Any], *args: Any) -> None:
        """Runs fn(*args); then(result) gives the outcome of images placed at `places` (one or per image)."""
        self._pending[self._executor.submit(fn, *args)] = (places, then)

    def stop(self, place: Place, error: Exception) -> None:
        self._stops.append((place, error))

    def wait(self) -> None:
        """Gathers at least one finished job."""
        for future in wait(self._pending, return_when=FIRST_COMPLETED).done:
            places, then = self._pending.pop(future)
            try:
                outcome = then(future.result())
            except InputError as error:
                self.stop((int(np.min(places)), -1), error)
                continue
            if self._fail_fast and outcome.failures:
                place_of = dict(zip(outcome.ids.tolist(), np.broadcast_to(places, len(outcome.ids)).tolist()))
                for image, message in outcome.failures.items():
                    self.stop((place_of[image], image), ImageFailed(self._key_of(image), message))
            self.outcomes.add(outcome)
            self._bar.update(len(outcome.ids))

    def __enter__(self) -> Dispatcher:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._bar.close()

    def finish(self) -> Outcomes:
        """The outcomes, or the first stop in input order raised."""
        if self._stops:
            raise min(self._stops, key=lambda stop: stop[0])[1]
        return self.outcomes


def score_tasks(tasks: Sequence[Task], index: KeyIndex, columns: Columns, executor: Executor, window: int, *,
                iou_threshold: float, score_threshold: float, fail_fast: bool,
                progress: bool | None) -> tuple[Outcomes, frozenset[str]]:
    """Every task scored by the executor, and the images that lie in several
    tasks put together and scored once their last piece is in."""
    stitcher = Stitcher(index, columns.probabilities)
    rounded: set[str] = set()
    def gathered(position: int) -> Callable[[TaskOutcome], BatchOutcome]:
        def then(result: TaskOutcome) -> BatchOutcome:
            rounded.update(result.rounded)
            stitcher.add(position, result.crossing)
            return result.outcome

        return then

    upcoming = iter(enumerate(tasks))
    done = False  # every task out, or a stop met: from then on no task goes out
    with Dispatcher(executor, window, fail_fast=fail_fast, progress=progress, total=len(index),
                    key_of=index.key) as run:
        while True:
            # After a stop, what is out and what it completes still go through:
            # then everything before the stop's place is in.
            while not run.busy:
                done = done or run.stopping
                stitched = stitcher.take(everything=done)
                if stitched is not None:
                    batch, places = stitched
                    run.submit(places, _as_is, score_batch, batch, iou_threshold, score_threshold)
                elif done:
                    break
                elif (next_task := next(upcoming, None)) is None:
                    done = True
                else:
                    position, task = next_task
                    run.submit(position, gathered(position), run_task, task, columns, iou_threshold,
                               score_threshold)
            if run.idle:
                break
            run.wait()
            for place, error in stitcher.errors:
                run.stop(place, error)
            stitcher.errors.clear()
        if stitcher.holding and not run.stopping:
            raise InputError(f"the input changed while it was read ({stitcher.holding} images left incomplete)")
        return run.finish(), frozenset(rounded)


def score_batches(batches: Iterable[ImageBatch], executor: Executor, window: int, *, iou_threshold: float,
                  score_threshold: float, fail_fast: bool, progress: bool | None, total: int | None,
                  key_of: Callable[[int], object]) -> Outcomes:
    """Batches of whole images scored by the executor, in order."""
    with Dispatcher(executor, window, fail_fast=fail_fast, progress=progress, total=total,
                    key_of=key_of) as run:
        for position, batch in enumerate(batches):
            if run.stopping:
                break
            while run.busy:
                run.wait()
            run.submit(position, _as_is, score_batch, batch, iou_threshold, score_threshold)
        while not run.idle:
            run.wait()
        return run.finish()


def _as_is(outcome: BatchOutcome) -> BatchOutcome:
    return outcome

