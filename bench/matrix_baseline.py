"""Builds matrix_baseline.cpp into a shared library and calls it through ctypes."""

from __future__ import annotations

import ctypes
import hashlib
import os
import subprocess
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "matrix_baseline.cpp"
BUILD_DIR = HERE.parent / "build" / "bench-baseline"
# The module's own flags: results must be bit-exact, so no contraction into FMA.
FLAGS = ["-std=c++20", "-O2", "-ffp-contract=off", "-fno-fast-math", "-fPIC", "-shared",
         "-pthread", "-Wall", "-Wextra"]

_FAILURES = {
    1: "probability row without a maximum",
    2: "index out of range",
    3: "scales and uncertainties differ in length",
    4: "NaN per-scale sum",
    5: "fewer than four box columns",
}


class InputError(ValueError):
    """An input the module would reject with a failure; never met by the workloads."""


def build() -> Path:
    """Compiles the baseline once per source version; returns the library's path."""
    digest = hashlib.sha256(SOURCE.read_bytes() + " ".join(FLAGS).encode()).hexdigest()[:16]
    lib = BUILD_DIR / f"libkiv_matrix_baseline-{digest}.so"
    if not lib.exists():
        BUILD_DIR.mkdir(parents=True, exist_ok=True)
        tmp = lib.with_suffix(f".{os.getpid()}.tmp")
        cxx = os.environ.get("CXX", "g++")
        subprocess.run([cxx, *FLAGS, str(SOURCE), "-o", str(tmp)], check=True)
        tmp.replace(lib)
    return lib


_f32p = ctypes.POINTER(ctypes.c_float)
_i64p = ctypes.POINTER(ctypes.c_int64)
_i64 = ctypes.c_int64


def load(lib: Path, threads: int | None = None):
    """Returns score(iou_threshold, score_threshold, boxes, probs, unc, scales) -> np.float32."""
    dll = ctypes.CDLL(str(lib))
    fn = dll.kiv_matrix_score
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.c_float, ctypes.c_float, _f32p, _i64, _i64, _f32p, _i64, _i64,
                   _f32p, _i64, _i64p, _i64, ctypes.c_int, _f32p]
    n_threads = threads or os.cpu_count() or 1

    def score(iou_threshold, score_threshold, boxes, probs, unc, scales):
        boxes = np.ascontiguousarray(boxes, dtype=np.float32)
        probs = np.ascontiguousarray(probs, dtype=np.float32)
        unc = np.ascontiguousarray(unc, dtype=np.float32)
        scales = np.ascontiguousarray(scales, dtype=np.int64)
        out = ctypes.c_float(0.0)
        code = fn(iou_threshold, score_threshold,
                  boxes.ctypes.data_as(_f32p), boxes.shape[0], boxes.shape[1],
                  probs.ctypes.data_as(_f32p), probs.shape[0], probs.shape[1],
                  unc.ctypes.data_as(_f32p), unc.shape[0],
                  scales.ctypes.data_as(_i64p), scales.shape[0],
                  n_threads, ctypes.byref(out))
        if code:
            raise InputError(_FAILURES.get(code, f"failure {code}"))
        return np.float32(out.value)

    return score
