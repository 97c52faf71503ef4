"""Telling a URI (s3://bucket/key) from a local path, without importing pyarrow:
the command line parses its arguments before the fork server starts."""

from __future__ import annotations

import re
from pathlib import Path

URI = re.compile(r"^([a-zA-Z][a-zA-Z0-9+.-]+)://([^/]*)")


def is_uri(name: str | Path) -> bool:
    return isinstance(name, str) and URI.match(name) is not None


def local_or_uri(text: str) -> Path | str:
    """A command-line path: a URI stays as written (a Path would fold its '//')."""
    return text if is_uri(text) else Path(text)
