"""The distribution of image scores, with the --top cut marked, for choosing K by eye."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pyarrow as pa

from .dependencies import require
from .writing import replacing


def check_plot(path: Path) -> None:
    """Fails before any work when the plot could not be drawn."""
    require("matplotlib", "plot", "--plot")
    from .errors import InputError

    if path.suffix.lower() != ".png":
        raise InputError(f"{path}: the plot is written as PNG and its name must end in .png")
    if not path.parent.is_dir():
        raise InputError(f"{path}: no such directory: {path.parent}")


def plot_scores(table: pa.Table, top: int | None, path: Path) -> None:
    """A histogram of the ranking's scores; with `top`, a line where the first `top` images end."""
    check_plot(path)
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot
    from matplotlib.ticker import MaxNLocator

    scores = table.column("score").drop_null().to_numpy().astype(np.float64)
    scores = scores[np.isfinite(scores)]
    figure, axes = pyplot.subplots(figsize=(8, 4.5), layout="constrained")
    axes.hist(scores, bins=min(100, max(10, len(scores) // 20)), color="#4c72b0")
    axes.set_xlabel("image score (higher: more uncertain)")
    axes.set_ylabel("images")
    axes.yaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_title(f"{len(scores):,} scored images")
    if top is not None and 0 < top <= len(scores):
        # Ranked scores descend, so the cut lies at the K-th score.
        cut = float(np.sort(scores)[::-1][top - 1])
        axes.axvline(cut, color="#c44e52", linestyle="--")
        axes.annotate(f"top {top:,}: score ≥ {cut:.4g}", xy=(cut, 1), xycoords=("data", "axes fraction"),
                      xytext=(4, -14), textcoords="offset points", color="#c44e52",
                      bbox={"facecolor": "white", "alpha": 0.8, "edgecolor": "none"})
    with replacing(path) as out:
        figure.savefig(out, format="png", dpi=100)
    pyplot.close(figure)
