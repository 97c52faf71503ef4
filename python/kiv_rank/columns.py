"""Which input columns hold each part of a detection."""

from __future__ import annotations

from collections.abc import Collection
from dataclasses import dataclass

from .errors import InputError


@dataclass(frozen=True)
class Columns:
    """Column names of a detection table; every one can be renamed."""

    image: str = "image"
    boxes: tuple[str, str, str, str] = ("x_min", "y_min", "x_max", "y_max")
    probabilities: str = "class_probabilities"
    uncertainty: str = "uncertainty"
    scale: str = "scale"

    def __post_init__(self) -> None:
        if len(self.boxes) != 4:
            raise InputError(f"four box columns are needed (x_min, y_min, x_max, y_max), got {len(self.boxes)}")
        names = self.names()
        if len(set(names)) != len(names):
            raise InputError(f"column names must differ: {', '.join(names)}")

    def names(self) -> list[str]:
        """Every column read, key first."""
        return [self.image, *self.boxes, self.probabilities, self.uncertainty, self.scale]

    def among(self, names: Collection[str]) -> tuple[str, ...]:
        """The given names in column order."""
        return tuple(name for name in self.names() if name in names)
