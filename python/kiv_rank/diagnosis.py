"""Why an image failed, read from its own arrays after the failure.

The extension's failure says what broke inside it, the same words for
different inputs; this names the detection and the value a user can fix.
Only failed images pay for it. Detections are numbered from 0 in the
image's input order.
"""

from __future__ import annotations

import numpy as np

# Detections named in one cause before "and N more".
NAMED = 3


def with_cause(message: str, boxes: np.ndarray, probabilities: np.ndarray, uncertainty: np.ndarray,
               scales: np.ndarray, score_threshold: float) -> str:
    """The failure message, with the cause found in the image's arrays appended."""
    cause = failure_cause(probabilities, uncertainty, scales, score_threshold)
    return f"{message} (cause: {cause})" if cause else message


def failure_cause(probabilities: np.ndarray, uncertainty: np.ndarray, scales: np.ndarray,
                  score_threshold: float) -> str | None:
    filtering = np.float32(score_threshold) != 0  # a zero threshold reads no probabilities
    n, classes = probabilities.shape
    if filtering and n and not classes:
        return f"{_detections(np.arange(n))} no class probabilities"
    if filtering and classes >= 2:
        # A row's largest value is undefined with a NaN among several.
        nan_rows = np.flatnonzero(np.isnan(probabilities).any(axis=1))
        if len(nan_rows):
            return f"{_detections(nan_rows)} a NaN among {classes} class probabilities"
    kept = (probabilities.max(axis=1, initial=-np.inf) >= np.float32(score_threshold)
            if filtering else np.ones(n, dtype=bool))
    distinct = np.unique(scales[kept])
    if len(distinct) < 2:
        return None  # one scale: a NaN sum is the object's score, not a failure
    # An object's largest per-scale sum is undefined when one sum is NaN.
    shown = ", ".join(map(str, distinct[:8])) + (", ..." if len(distinct) > 8 else "")
    among = f"its object's sum at that scale is NaN among {len(distinct)} scales ({shown})"
    nan_rows = np.flatnonzero(kept & np.isnan(uncertainty))
    if len(nan_rows):
        return f"{_detections(nan_rows, scales)} a NaN uncertainty: {among}"
    for scale in distinct:
        at_scale = kept & (scales == scale)
        rising = np.flatnonzero(at_scale & (uncertainty == np.inf))
        falling = np.flatnonzero(at_scale & (uncertainty == -np.inf))
        if len(rising) and len(falling):
            return (f"detection {rising[0]} (+inf) and detection {falling[0]} (-inf) at scale {scale}: "
                    f"if they form one object, {among}")
    return None


def _detections(rows: np.ndarray, scales: np.ndarray | None = None) -> str:
    named = [f"{row}" + ("" if scales is None else f" (scale {scales[row]})") for row in rows[:NAMED]]
    more = f" and {len(rows) - NAMED} more" if len(rows) > NAMED else ""
    noun = "detection" if len(rows) == 1 else "detections"
    verb = "has" if len(rows) == 1 else "have"
    return f"{noun} {', '.join(named)}{more} {verb}"
