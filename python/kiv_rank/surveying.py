"""The first pass, spread over the workers: which images each part of the
input holds, and how many rows of each.

A job reads only the image keys and sends back each part's distinct keys and
counts as arrays; the main process merges them (splitting.KeyIndex.merge).
The main process cuts a few files into parts itself (a footer each), so that
one large file is read by every worker; many files go out whole, in batches,
so that it makes no round trip per file.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from dataclasses import dataclass

import pyarrow as pa

from .columns import Columns
from .errors import InputError
from .reading import Part, Source, check_schema, keys_of
from .splitting import KeyIndex, PartKeys

# Files the main process opens itself; beyond, workers open them.
FILES_OPENED_HERE = 16
# Files a job opens at most: enough to amortise the hand-over, few enough to
# keep the workers evenly loaded and the bar moving.
FILES_PER_JOB = 32
# Jobs waiting per worker: they are small, so a worker should never wait for the main process.
JOBS_PER_WORKER = 4


@dataclass(frozen=True)
class Surveyed:
    """A job's findings, part by part in input order; `parts` holds the parts
    of the sources the job opened itself, in the same order."""

    parts: tuple[Part, ...]
    keys: tuple[PartKeys, ...]


def survey(units: Sequence[Source | Part], columns: Columns) -> Surveyed:
    """A worker's job: the keys of every part of the given sources and parts."""
    parts: list[Part] = []
    found: list[PartKeys] = []
    for unit in units:
        if isinstance(unit, Source):
            check_schema(unit.schema(), columns, unit.name)
            opened = unit.parts()
            parts.extend(opened)
            found.extend(_part_keys(unit.keys(part, columns.image), columns.image, unit.name) for part in opened)
        else:
            found.append(_part_keys(unit.read([columns.image]).column(0), columns.image, unit.source))
    return Surveyed(tuple(parts), tuple(found))


def _part_keys(keys: pa.ChunkedArray, name: str, source: str) -> PartKeys:
    return PartKeys.of(source, [keys_of(chunk, name, source) for chunk in keys.chunks])


@dataclass(frozen=True)
class Job:
    """Sources a worker opens itself, or parts the main process cut (with the
    parts themselves, for the tasks)."""

    units: tuple[Source | Part, ...]
    parts: tuple[Part, ...] | None  # None: the worker tells them
    rows: int | None  # None: not known before it runs


def plan_jobs(sources: Sequence[Source], columns: Columns, workers: int) -> tuple[list[Job], InputError | None]:
    """Jobs in input order, and the failure met opening a source here, which
    comes after those jobs."""
    opened_here = len(sources) <= FILES_OPENED_HERE
    per_job = max(1, min(FILES_PER_JOB, math.ceil(len(sources) / (8 * workers))))
    jobs: list[Job] = []
    batch: list[Source] = []
    for source in sources:
        if not (source.in_memory or (opened_here and source.cheap_to_open)):
            batch.append(source)
            if len(batch) == per_job:
                jobs.append(Job(tuple(batch), None, None))
                batch = []
            continue
        if batch:
            jobs.append(Job(tuple(batch), None, None))
            batch = []
        try:
            check_schema(source.schema(), columns, source.name)
            parts = source.parts()
        except InputError as error:
            return jobs, error
        jobs.extend(Job((source.key_part(part, columns.image),), (part,), part.rows) for part in parts)
    if batch:
        jobs.append(Job(tuple(batch), None, None))
    return jobs, None


def survey_sources(sources: Sequence[Source], columns: Columns, executor: Executor, workers: int, *,
                   progress: bool | None) -> tuple[list[Part], KeyIndex]:
    """Every part of the sources in input order, and their images numbered.
    The first failure in input order is raised, whatever the order of the jobs."""
    from tqdm import tqdm

    jobs, failure = plan_jobs(sources, columns, workers)
    failures: dict[int, Exception] = {} if failure is None else {len(jobs): failure}
    results: dict[int, Surveyed] = {}
    pending: dict[Future[Surveyed], int] = {}
    upcoming = iter(enumerate(jobs))
    rows = [job.rows for job in jobs]
    total = None if None in rows else sum(rows)  # type: ignore[arg-type]
    with tqdm(desc="reading keys", unit="row", unit_scale=True, total=total, file=sys.stderr,
              disable=None if progress is None else not progress, dynamic_ncols=True, smoothing=0.1) as bar:
        while True:
            # After a failure only the jobs before it still matter.
            while len(pending) < JOBS_PER_WORKER * workers:
                position, job = next(upcoming, (len(jobs), None))
                if job is None or position > min(failures, default=position):
                    break
                pending[executor.submit(survey, job.units, columns)] = position
            if not pending:
                break
            for future in wait(pending, return_when=FIRST_COMPLETED).done:
                position = pending.pop(future)
                try:
                    results[position] = future.result()
                except InputError as error:
                    failures[position] = error
                else:
                    bar.update(sum(part.rows for part in results[position].keys))
    if failures:
        raise failures[min(failures)]
    parts = [part for position, job in enumerate(jobs) for part in (job.parts or results[position].parts)]
    return parts, KeyIndex.merge([keys for position in range(len(jobs)) for keys in results[position].keys])
