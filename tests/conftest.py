import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

# Set by make sanitize to the sanitizers the module under test was built with.
SANITIZER = os.environ.get("KIV_SANITIZER")


def pytest_collection_modifyitems(config, items):
    if not SANITIZER:
        return
    for item in items:
        marker = item.get_closest_marker("not_under_sanitizer")
        if marker is not None:
            item.add_marker(pytest.mark.skip(reason=f"{SANITIZER}: {marker.args[0]}"))


@pytest.fixture
def valid_arrays():
    """Three detections in the four forms run() accepts, in parameter order."""
    boxes = np.array([[0, 0, 10, 10], [1, 1, 11, 11], [50, 50, 60, 60]], dtype=np.float32)
    probs = np.array([[0.9, 0.1], [0.8, 0.2], [0.3, 0.7]], dtype=np.float32)
    uncertainty = np.array([0.5, 0.25, 0.125], dtype=np.float32)
    scales = np.array([0, 1, 0], dtype=np.int64)
    return boxes, probs, uncertainty, scales


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; returns the CompletedProcess."""

    def run(code, env=None, timeout=120):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
            env={**os.environ, **(env or {})},
        )

    return run
