"""The distribution of image scores, with the --top cut marked, for choosing K by eye."""

from __future__ import annotations

from pathlib import Path, PurePosixPath
from typing import Any

import numpy as np
import pyarrow as pa

from .dependencies import require
from .outputs import Staging, check_outputs, staging

COLOUR = "#4c72b0"
CUT_COLOUR = "#c44e52"


def check_plot(path: Path | str) -> None:
    """Fails before any work when the plot could not be drawn."""
    require("matplotlib", "plot", "--plot")
    from .errors import InputError

    if PurePosixPath(path).suffix.lower() != ".png":
        raise InputError(f"{path}: the plot is written as PNG and its name must end in .png")


def plot_scores(table: pa.Table, top: int | None, path: Path | str, stage: Staging | None = None) -> None:
    """Two views of the ranking's scores: their histogram, and each score against
    its rank, where a knee shows a natural K. With `top`, both mark the cut.
    Infinite scores, which no axis holds, are counted in the title and marked
    at the top of the rank view, keeping their ranks. Given a stage, the file
    appears when the stage commits."""
    check_plot(path)
    if stage is None:
        check_outputs([path], [])
        with staging() as own:
            plot_scores(table, top, path, own)
        return
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot
    from matplotlib.ticker import MaxNLocator

    # The ranking's order: +inf first, then numbers, -inf, NaN.
    ranked = table.column("score").drop_null().to_numpy().astype(np.float64)
    ranks = np.arange(1, len(ranked) + 1)
    finite = np.isfinite(ranked)
    infinite = np.isinf(ranked)
    figure, (histogram, by_rank) = pyplot.subplots(1, 2, figsize=(11, 4.5), layout="constrained")
    figure.suptitle(_title(len(ranked), int(np.sum(ranked[infinite] > 0)), int(np.sum(ranked[infinite] < 0)),
                           int(np.sum(np.isnan(ranked)))))
    histogram.hist(ranked[finite], bins=min(100, max(10, int(finite.sum()) // 20)), color=COLOUR)
    histogram.set_xlabel("image score (higher: more uncertain)")
    histogram.set_ylabel("images")
    histogram.yaxis.set_major_locator(MaxNLocator(integer=True))
    by_rank.plot(ranks[finite], ranked[finite], color=COLOUR)
    if infinite.any():
        edge = by_rank.get_ylim()
        by_rank.plot(ranks[infinite], np.where(ranked[infinite] > 0, edge[1], edge[0]), linestyle="none",
                     marker="x", color=CUT_COLOUR, clip_on=False, label="infinite score")
        by_rank.legend(loc="upper right")
    by_rank.set_xlabel("rank")
    by_rank.set_ylabel("image score")
    by_rank.xaxis.set_major_locator(MaxNLocator(integer=True))
    if top is not None and 0 < top <= len(ranked):
        score = float(ranked[top - 1])
        # A cut at an infinite score is drawn at the edge of the finite ones.
        cut = score if np.isfinite(score) else float((np.max if score > 0 else np.min)(ranked[finite], initial=0.0))
        # Headroom above the tallest bar, so that the label covers none.
        histogram.set_ylim(top=histogram.get_ylim()[1] * 1.15)
        histogram.axvspan(cut, histogram.get_xlim()[1], color=CUT_COLOUR, alpha=0.12, linewidth=0, zorder=0)
        histogram.axvline(cut, color=CUT_COLOUR, linestyle="--")
        _label(histogram, cut, f"top {top:,}: score ≥ {score:.4g}")
        by_rank.axvspan(0.5, top + 0.5, color=CUT_COLOUR, alpha=0.12, linewidth=0)
        by_rank.axvline(top + 0.5, color=CUT_COLOUR, linestyle="--")
        _label(by_rank, top + 0.5, f"K = {top:,}")
    with stage.file(path) as out:
        figure.savefig(out, format="png", dpi=100)
    pyplot.close(figure)


def _title(scored: int, rising: int, falling: int, undefined: int) -> str:
    beyond = [f"{n:,} {what}" for n, what in ((rising, "+inf"), (falling, "-inf"), (undefined, "NaN")) if n]
    return f"{scored:,} scored images" + (f" ({', '.join(beyond)}: not on the axes, ranks kept)" if beyond else "")


def _label(axes: Any, x: float, text: str) -> None:
    axes.annotate(text, xy=(x, 1), xycoords=("data", "axes fraction"), xytext=(4, -14),
                  textcoords="offset points", color=CUT_COLOUR,
                  bbox={"facecolor": "white", "alpha": 0.8, "edgecolor": "none"})
