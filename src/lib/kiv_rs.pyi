# Types of the kiv_rs extension module, for type checkers; checked against
# the built module by mypy's stubtest.
from typing import Self, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["KIV"]

# Not in the module's namespace at runtime: reachable only as KIV.__base__.
# Calling it raises TypeError("No constructor defined").
class KivRs: ...

class KIV(KivRs):
    """Scores one image's detections; holds both thresholds as float32."""

    def __new__(
        cls,
        iou_threshold: SupportsFloat | SupportsIndex,
        score_threshold: SupportsFloat | SupportsIndex,
    ) -> Self: ...
    def run(
        self,
        bounding_boxes: npt.NDArray[np.float32],
        class_probabilities: npt.NDArray[np.float32],
        uncertainty_scores: npt.NDArray[np.float32],
        scales: npt.NDArray[np.int64],
    ) -> tuple[float, None]:
        """(score, None): the image score, a float32 value widened to float."""
