"""The distribution of image scores, with the --top cut marked, for choosing K by eye."""

from __future__ import annotations

from pathlib import Path, PurePosixPath
from typing import Any

import numpy as np
import pyarrow as pa

from .dependencies import require
from .stores import check_object_target
from .uris import is_uri
from .writing import replacing

COLOUR = "#4c72b0"
CUT_COLOUR = "#c44e52"


def check_plot(path: Path | str) -> None:
    """Fails before any work when the plot could not be drawn."""
    require("matplotlib", "plot", "--plot")
    from .errors import InputError

    if PurePosixPath(path).suffix.lower() != ".png":
        raise InputError(f"{path}: the plot is written as PNG and its name must end in .png")
    if is_uri(path):
        check_object_target(str(path))
    elif not Path(path).parent.is_dir():
        raise InputError(f"{path}: no such directory: {Path(path).parent}")


def plot_scores(table: pa.Table, top: int | None, path: Path | str) -> None:
    """Two views of the ranking's scores: their histogram, and each score against
    its rank, where a knee shows a natural K. With `top`, both mark the cut."""
    check_plot(path)
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot
    from matplotlib.ticker import MaxNLocator

    scores = table.column("score").drop_null().to_numpy().astype(np.float64)
    ranked = np.sort(scores[np.isfinite(scores)])[::-1]
    figure, (histogram, by_rank) = pyplot.subplots(1, 2, figsize=(11, 4.5), layout="constrained")
    figure.suptitle(f"{len(ranked):,} scored images")
    histogram.hist(ranked, bins=min(100, max(10, len(ranked) // 20)), color=COLOUR)
    histogram.set_xlabel("image score (higher: more uncertain)")
    histogram.set_ylabel("images")
    histogram.yaxis.set_major_locator(MaxNLocator(integer=True))
    by_rank.plot(np.arange(1, len(ranked) + 1), ranked, color=COLOUR)
    by_rank.set_xlabel("rank")
    by_rank.set_ylabel("image score")
    by_rank.xaxis.set_major_locator(MaxNLocator(integer=True))
    if top is not None and 0 < top <= len(ranked):
        cut = float(ranked[top - 1])
        # Headroom above the tallest bar, so that the label covers none.
        histogram.set_ylim(top=histogram.get_ylim()[1] * 1.15)
        histogram.axvspan(cut, histogram.get_xlim()[1], color=CUT_COLOUR, alpha=0.12, linewidth=0, zorder=0)
        histogram.axvline(cut, color=CUT_COLOUR, linestyle="--")
        _label(histogram, cut, f"top {top:,}: score ≥ {cut:.4g}")
        by_rank.axvspan(0.5, top + 0.5, color=CUT_COLOUR, alpha=0.12, linewidth=0)
        by_rank.axvline(top + 0.5, color=CUT_COLOUR, linestyle="--")
        _label(by_rank, top + 0.5, f"K = {top:,}")
    with replacing(path) as out:
        figure.savefig(out, format="png", dpi=100)
    pyplot.close(figure)


def _label(axes: Any, x: float, text: str) -> None:
    axes.annotate(text, xy=(x, 1), xycoords=("data", "axes fraction"), xytext=(4, -14),
                  textcoords="offset points", color=CUT_COLOUR,
                  bbox={"facecolor": "white", "alpha": 0.8, "edgecolor": "none"})
