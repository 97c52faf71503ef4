"""Outcomes to the ranking: most uncertain first, ties in order of first
appearance, failed images last."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from .reading import arrow
from .scoring import Outcomes


@dataclass(frozen=True)
class Ranking:
    """The ranking table (rank, image, score, detections, error) and what the run met."""

    table: pa.Table
    detections: int
    seconds: float
    rounded: tuple[str, ...] = ()  # columns whose values changed when narrowed to float32

    @property
    def scored(self) -> int:
        return self.table.column("error").null_count

    @property
    def failed(self) -> int:
        return self.table.num_rows - self.scored

    def top(self, k: int | None) -> pa.Table:
        """The first k rows: the next batch to label (all rows when k is None)."""
        return self.table if k is None else self.table.slice(0, k)

    def summary(self) -> str:
        line = (f"{self.scored:,} images scored, {self.failed:,} failed, "
                f"{self.detections:,} detections, {self.seconds:.1f} s")
        if self.rounded:
            line += f"; rounded to float32 (nearest): {', '.join(self.rounded)}"
        return line


def rank_outcomes(keys: Sequence[object] | pa.Array, counts: np.ndarray, outcomes: Outcomes,
                  appearance: np.ndarray | None = None) -> pa.Table:
    """The ranking table of images numbered 0..n-1 in `keys` order; ties are
    broken by `appearance` (default: that numbering)."""
    n = len(counts)
    scores = outcomes.scores[:n]
    failed = np.zeros(n, dtype=bool)
    failed[list(outcomes.failures)] = True
    # -score is exact; NaN scores sort after every number, failures after all.
    if appearance is None:
        # Ties stay in numbering order: a stable sort, then failures moved last, costs half a lexsort.
        by_score = np.argsort(-scores, kind="stable")
        order = np.concatenate([by_score[~failed[by_score]], by_score[failed[by_score]]])
    else:
        order = np.lexsort((appearance, -scores, failed))
    messages = [outcomes.failures[int(i)] for i in order[failed[order]]]
    errors = pa.array(messages, pa.string()) if messages else pa.nulls(0, pa.string())
    return pa.table({
        "rank": arrow(np.arange(1, n + 1, dtype=np.int64)),
        # The system allocator gives the memory back once the table is written; mimalloc would keep it.
        "image": pc.take(keys if isinstance(keys, pa.Array) else pa.array(keys), arrow(order),
                         memory_pool=pa.system_memory_pool()),
        "score": arrow(scores[order].astype(np.float32), valid=~failed[order]),
        "detections": arrow(counts[order].astype(np.int64)),
        "error": pa.concat_arrays([pa.nulls(n - len(errors), pa.string()), errors]),
    })
