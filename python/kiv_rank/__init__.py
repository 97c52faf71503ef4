"""Rank a pool of images by KIV score: stored detections in, the next batch to label out.

The names below load on first use, so that a worker process that only scores
does not import pyarrow.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .api import rank_files, rank_images, rank_table
    from .cluster import rank_dask, rank_dask_files
    from .columns import Columns
    from .errors import ImageFailed, InputError
    from .ranking import Ranking
    from .writing import write_ranking

_HOMES = {
    "rank_files": "api", "rank_table": "api", "rank_images": "api", "rank_dask": "cluster",
    "rank_dask_files": "cluster", "Columns": "columns", "Ranking": "ranking", "InputError": "errors",
    "ImageFailed": "errors", "write_ranking": "writing",
}
__all__ = sorted(_HOMES)


def __getattr__(name: str) -> object:
    if name not in _HOMES:
        raise AttributeError(f"module 'kiv_rank' has no attribute {name!r}")
    return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
