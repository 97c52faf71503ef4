"""Writes the seed corpus of the engine's fuzz harness into tests/fuzz/corpus.

Each file is one scoring call in the byte format that fuzz_case.cpp decodes;
the files are committed, and this script is how they were made. Inputs found
by fuzzing (regressions) are kept as files of their own and left alone here.

    python tests/fuzz/make_corpus.py
"""

import itertools
import math
import struct
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

CORPUS = Path(__file__).resolve().parent / "corpus"

F32 = np.float32
NAN = float("nan")
INF = float("inf")
TINY = float(np.finfo(F32).smallest_subnormal)
BELOW_HALF, ABOVE_HALF = float(np.nextafter(F32(0.5), F32(0))), float(np.nextafter(F32(0.5), F32(1)))
BELOW_ONE, ABOVE_ONE = float(np.nextafter(F32(1), F32(0))), float(np.nextafter(F32(1), F32(2)))
FLT_MIN, FLT_MAX = float(np.finfo(F32).tiny), float(np.finfo(F32).max)
INT64_MAX, INT64_MIN = 2**63 - 1, -(2**63)

# The tables of fuzz_case.cpp, in the same order.
THRESHOLDS = [0.5, 0.0, -0.0, TINY, BELOW_HALF, ABOVE_HALF, 1.0, BELOW_ONE,
              ABOVE_ONE, NAN, 0.3, 0.1, 1 / 3, 0.36, 0.2, 0.9,
              0.05, -0.5, INF, 0.7, 1e-6, 2.0, -INF, 0.999]
SPECIAL_VALUES = [NAN, -NAN, INF, -INF, 0.0, -0.0, TINY, -TINY,
                  FLT_MIN, -FLT_MIN, FLT_MAX, -FLT_MAX, 1e30, -1e30, 1e-30, 3e38,
                  16777216.0, 16777218.0, 1e8, -1e8, BELOW_HALF, ABOVE_HALF, BELOW_ONE, ABOVE_ONE,
                  0.1, 0.3, 1 / 3, 0.36, 1e-8, 5e-5, 1e-4, 1e15]
SCALE_VALUES = [0, 1, 2, 3, -1, -2, INT64_MAX, INT64_MIN, 7, 1 << 40, -(1 << 40),
                100, 5, INT64_MAX - 1, INT64_MIN + 1, 42]
BOX_COLUMNS = [4, 4, 4, 4, 5, 7, 3, 0]
PROBABILITY_COLUMNS = [1, 2, 3, 4, 8, 9, 0, 17]
CLAIMED_ROWS = [1 << 30, 3037000499, 3037000500, 1 << 32]
ROW_MAJOR, REVERSED, COLUMN_MAJOR, REPEATED = range(4)
PROBABILITIES, BOXES, UNCERTAINTY, SCALES = range(4)  # order of the lengths byte
# Value grids of the explicit codes below 0xC0.
GRIDS = {"coordinate": (1, 0x40), "probability": (128, 0), "uncertainty": (16, 0x60)}


def f32_bits(value):
    return struct.pack("<f", value)


def same_f32(a, b):
    return f32_bits(a) == f32_bits(b)


def threshold_code(value):
    for index, entry in enumerate(THRESHOLDS):
        if same_f32(entry, value):
            return bytes([index])
    return b"\xf0" + f32_bits(value)


def value_code(value, kind):
    scale, bias = GRIDS[kind]
    scaled = value * scale
    if math.isfinite(scaled) and scaled == int(scaled) and 0 <= int(scaled) + bias < 0xC0:
        if not (value == 0 and math.copysign(1, value) < 0):
            return bytes([int(scaled) + bias])
    for index, entry in enumerate(SPECIAL_VALUES):
        if same_f32(entry, value):
            return bytes([0xC0 + index])
    return b"\xff" + f32_bits(value)


def count_code(n):
    if n < 64:
        return bytes([n])
    if n < 576:
        return bytes([0xE0 + (n - 64) // 32, (n - 64) % 32])
    if n <= 4096:
        return b"\xf0" + struct.pack("<H", n)
    assert 8192 <= n < 9216
    return b"\xff" + struct.pack("<H", n - 8192)


@dataclass
class Case:
    """One call. `boxes`, `probs`, `unc` and `scales` are explicit rows (lists)
    or the generator parameters: bytes of six for boxes, a mode byte for the
    others."""

    iou: float = 0.5
    score: float = 0.0
    n: int = 0
    box_columns: int = 0  # index into BOX_COLUMNS
    probability_columns: int = 0  # index into PROBABILITY_COLUMNS
    moved: tuple = None  # (array, delta) of the lengths byte
    layout: tuple = (ROW_MAJOR,) * 4
    unaligned: bool = False
    claim: int = None  # index into CLAIMED_ROWS
    seed: int = 0
    boxes: object = field(default_factory=list)
    probs: object = field(default_factory=list)
    unc: object = field(default_factory=list)
    scales: object = field(default_factory=list)
    patches: list = field(default_factory=list)  # (array, column, row, value)

    def stored_values(self, k):
        """How many values the decoder reads for array k (argument order)."""
        rows = [self.n] * 4  # in the order of the lengths byte
        if self.moved is not None:
            rows[self.moved[0]] = max(self.n + self.moved[1], 0)
        rows = [rows[BOXES], rows[PROBABILITIES], rows[UNCERTAINTY], rows[SCALES]]
        columns = [BOX_COLUMNS[self.box_columns], PROBABILITY_COLUMNS[self.probability_columns], 1, 1]
        if self.layout[k] == REPEATED or (k == 0 and self.claim is not None):
            rows[k] = min(rows[k], 1)
        return rows[k] * columns[k]

    def encode(self):
        out = bytearray(threshold_code(self.iou) + threshold_code(self.score) + count_code(self.n))
        out.append(self.box_columns | self.probability_columns << 3)
        out.append(0 if self.moved is None else 0xC0 | self.moved[0] | (self.moved[1] + 4) << 2)
        out.append(sum(code << (2 * k) for k, code in enumerate(self.layout)))
        claim = 0 if self.claim is None else 2 | self.claim << 2
        out.append(int(self.unaligned) | claim)
        out += struct.pack("<Q", self.seed)
        for data in (self.boxes, self.probs, self.unc, self.scales):
            out += bytes([0]) if isinstance(data, list) else bytes(data)
        kinds = ["coordinate", "probability", "uncertainty", "scale"]
        for k, (kind, data) in enumerate(zip(kinds, (self.boxes, self.probs, self.unc, self.scales))):
            if not isinstance(data, list):
                continue
            values = [v for row in data for v in (row if isinstance(row, (list, tuple)) else [row])]
            values = (values + [0] * self.stored_values(k))[: self.stored_values(k)]
            for value in values:
                out += bytes([SCALE_VALUES.index(value)]) if kind == "scale" else value_code(value, kind)
        for array, column, row, value in self.patches:
            out.append(array | column << 2)
            out += struct.pack("<H", row)
            if array == 3:
                out.append(SCALE_VALUES.index(value))
            else:
                out += value_code(value, ["coordinate", "probability", "uncertainty"][array])
        return bytes(out)


def explicit(boxes, unc=None, scales=None, probs=None, **options):
    """A case from explicit rows; uncertainty 1, 2, 4, ... and scale 0 unless given."""
    n = len(boxes)
    return Case(n=n, boxes=[list(b) for b in boxes],
                probs=probs if probs is not None else [[0.75]] * n,
                unc=unc if unc is not None else [float(2.0 ** (k % 24)) for k in range(n)],
                scales=scales if scales is not None else [0] * n, **options)


def generated(n, box_params, probs=1, unc=1, scales=1, seed=1, **options):
    return Case(n=n, boxes=bytes([1, *box_params]), probs=bytes([probs]), unc=bytes([unc]),
                scales=bytes([scales]), seed=seed, **options)


PAIRS = {
    "half-overlap": [(0, 0, 10, 10), (5, 0, 15, 10)],
    "nested": [(0, 0, 10, 10), (2, 2, 8, 8)],
    "identical": [(0, 0, 10, 10), (0, 0, 10, 10)],
    "touching": [(0, 0, 10, 10), (10, 0, 20, 10)],
    "touching-corner": [(0, 0, 10, 10), (10, 10, 20, 20)],
    "apart": [(0, 0, 10, 10), (30, 30, 40, 40)],
    "inverted": [(10, 0, 0, 10), (0, 0, 10, 10)],
    "inverted-both": [(10, 10, 0, 0), (10, 10, 0, 0)],
    "zero-width": [(5, 0, 5, 10), (0, 0, 10, 10)],
    "zero-area-same": [(5, 5, 5, 5), (5, 5, 5, 5)],
    "nan-corner": [(NAN, 0, 10, 10), (0, 0, 10, 10)],
    "nan-other": [(0, 0, 10, 10), (0, NAN, 10, 10)],
    "inf-box": [(-INF, -INF, INF, INF), (0, 0, 10, 10)],
    "inf-both": [(-INF, -INF, INF, INF), (-INF, -INF, INF, INF)],
    "negative-zero": [(-0.0, -0.0, 1, 1), (0.0, 0.0, 1, 1)],
    "denormal": [(0, 0, TINY, TINY), (0, 0, TINY, TINY)],
    "denormal-mixed": [(0, 0, FLT_MIN, FLT_MIN), (0, 0, TINY, FLT_MIN)],
    "near-1e30": [(1e30, 1e30, 3e30, 3e30), (1.5e30, 1e30, 3.5e30, 3e30)],
    "huge-area": [(-3e38, -3e38, 3e38, 3e38), (-1e38, -1e38, 1e38, 1e38)],
    "small-5e-5": [(0, 0, 5e-5, 5e-5), (0, 0, 5e-5, 5e-5)],
    "small-1e-4": [(0, 0, 1e-4, 1e-4), (0, 0, 1e-4, 1e-4)],
    "tiny-gap": [(0, 0, 1, 1), (1, 0, 2, BELOW_ONE)],
    "order-pqr": [(0, 0, 10, 10), (12, 0, 22, 10), (6, 0, 16, 10)],
    "order-prq": [(0, 0, 10, 10), (6, 0, 16, 10), (12, 0, 22, 10)],
}

PAIR_THRESHOLDS = [0.5, 0.0, TINY, BELOW_HALF, 1.0, BELOW_ONE, NAN]
# Thresholds at which a pair's similarity ties.
OWN_THRESHOLDS = {"half-overlap": [0.3, 1 / 3], "nested": [0.36], "order-pqr": [0.2],
                  "order-prq": [0.2], "small-5e-5": [0.99999994], "tiny-gap": [0.25]}


def pair_cases():
    for name, boxes in PAIRS.items():
        for k, iou in enumerate(PAIR_THRESHOLDS + OWN_THRESHOLDS.get(name, [])):
            yield f"pair-{name}-{k}", explicit(boxes, iou=iou)


FILTER_THRESHOLDS = {"halves": BELOW_HALF, "ones": 1.0, "thirds": 1 / 3, "zeros": -0.0}


def filter_cases():
    rows = {
        "plain": [[0.9, 0.1], [0.3, 0.7], [0.5, 0.5]],
        "nan-late": [[0.9, 0.1], [0.2, NAN], [0.5, 0.5]],
        "nan-alone": [[NAN], [0.9], [0.5]],
        "zeros": [[0.0, -0.0], [-0.0, 0.0], [0.0, 0.0]],
        "negative": [[-1.0, -0.5], [-0.25, -3.0], [-0.0, -1.0]],
        "tiny": [[TINY, 0.0], [0.0, 0.0], [TINY, TINY]],
        "halves": [[BELOW_HALF, 0.1], [0.5, 0.0], [ABOVE_HALF, 0.2]],
        "ones": [[BELOW_ONE, 0.0], [1.0, 0.0], [ABOVE_ONE, 0.0]],
        "thirds": [[0.3, 0.1], [1 / 3, 0.2], [0.1, 0.3]],
        "inf": [[INF, 0.0], [-INF, -INF], [0.5, INF]],
    }
    boxes = [(0, 0, 10, 10), (1, 1, 11, 11), (50, 50, 60, 60)]
    for name, probs in rows.items():
        columns = PROBABILITY_COLUMNS.index(len(probs[0]))
        for k, score in enumerate([0.0, -0.0, TINY, 0.5, NAN, -0.5, FILTER_THRESHOLDS.get(name, 0.3)]):
            yield f"filter-{name}-{k}", explicit(boxes, probs=probs, score=score,
                                                 probability_columns=columns)
    yield "filter-no-columns", explicit(boxes, probs=[[]] * 3, score=0.5, probability_columns=6)
    yield "filter-off-no-columns", explicit(boxes, probs=[[]] * 3, probability_columns=6)


def length_cases():
    boxes = [(0, 0, 10, 10), (1, 1, 11, 11), (50, 50, 60, 60), (51, 51, 61, 61), (0, 0, 1, 1)]
    for array, delta, score in itertools.product(range(4), [-4, -2, -1, 1, 3], [0.0, 0.5]):
        yield f"lengths-{array}-{delta}-{score}", explicit(boxes, score=score, moved=(array, delta))


def failure_order_cases():
    # A NaN sum in the first object, and a fifth box without scale or
    # uncertainty in the last: every object is bucketed before any is summed.
    apart = [(0, 0, 1, 1), (10, 10, 11, 11), (20, 20, 21, 21), (30, 30, 31, 31), (40, 40, 41, 41)]
    for k, unc in enumerate([[NAN, 1.0, 2.0, 4.0], [1.0, 2.0, 4.0, NAN]]):
        yield f"failure-order-{k}", Case(n=4, boxes=apart, probs=[], unc=unc, scales=[0, 1, 0, 1],
                                         moved=(BOXES, 1))


def column_cases():
    for k, columns in enumerate(BOX_COLUMNS):
        for n in (0, 2):
            boxes = [[float(c + r) for c in range(columns)] for r in range(n)]
            for score in (0.0, 0.5):
                yield f"columns-{k}-{n}-{score}", explicit(boxes, score=score, box_columns=k)


def aggregation_cases():
    one = [(0, 0, 10, 10)] * 3
    apart = [(0, 0, 1, 1), (10, 10, 11, 11), (20, 20, 21, 21)]
    sums = {
        "rounding": ([16777216.0, 1.0, 1.0], [0, 0, 0]),
        "cancel": ([1e8, 1.0, -1e8], [0, 0, 0]),
        "nan-one-scale": ([0.5, NAN, 0.25], [0, 0, 0]),
        "nan-two-scales": ([0.5, NAN, 0.25], [0, 1, 0]),
        "nan-smaller-bucket": ([NAN, 100.0, 0.25], [1, 0, 0]),
        "negative": ([-0.5, -0.25, -1.0], [0, 1, 0]),
        "negative-missing-scale": ([-0.5, -0.25, -1.0], [0, 0, 0]),
        "negative-zero": ([-0.0, -0.0, -0.0], [0, 0, 1]),
        "inf": ([INF, 1.0, -INF], [0, 1, 0]),
        "inf-cancel": ([INF, -INF, 1.0], [0, 0, 1]),
        "extreme-scales": ([0.5, 0.25, 0.125], [INT64_MAX, INT64_MIN, -1]),
        "worked-example": ([0.5, 0.25, 0.125], [1, 2, 1]),
    }
    for name, (unc, scales) in sums.items():
        for layout_name, boxes in [("one", one), ("apart", apart)]:
            yield f"sums-{name}-{layout_name}", explicit(boxes, unc=unc, scales=scales)
    yield "sums-surplus-scales", explicit(one[:2], unc=[0.5, 0.25, 1.0], scales=[5, 5, 7],
                                           moved=None, patches=[])


def layout_cases():
    boxes = [(0, 0, 10, 10), (1, 1, 11, 11), (50, 50, 60, 60), (2, 0, 12, 10)]
    probs = [[0.9, 0.1, 0.0], [0.3, 0.7, 0.2], [0.5, 0.5, 0.5], [0.0, 1.0, 0.0]]
    # Each array in each layout alone, then all four in the same one.
    layouts = [tuple(code if k == array else ROW_MAJOR for k in range(4))
               for array in range(4) for code in (REVERSED, COLUMN_MAJOR, REPEATED)]
    layouts += [(code,) * 4 for code in range(4)]
    for layout, unaligned in itertools.product(layouts, (False, True)):
        name = "".join(map(str, layout))
        yield f"layout-{name}-{int(unaligned)}", explicit(
            boxes, probs=probs, score=0.25, layout=layout, unaligned=unaligned,
            probability_columns=2, scales=[0, 1, 0, 2])
    wide = [[0.1 * k] * 8 + [0.9 if k % 2 else 0.0] for k in range(4)]
    yield "layout-wide-rows", explicit(boxes, probs=wide, score=0.5, probability_columns=5)
    wide[2][4] = NAN
    yield "layout-wide-rows-nan", explicit(boxes, probs=wide, score=0.5, probability_columns=5)


def claimed_cases():
    for claim, score, columns in itertools.product(range(4), [0.0, 0.5], [0, 6]):
        yield f"claimed-{claim}-{score}-{columns}", explicit(
            [(0, 0, 10, 10), (1, 1, 11, 11)], score=score, claim=claim, box_columns=columns)


# Generator parameters of fuzz_case.cpp's generate_boxes: clusters (0xC0 and
# up: every box apart), size exponent (quarters, signed), size spread, jitter,
# world, flags (1 whole numbers, 2 copies, 4 inverted, 8 aspect, high nibble
# special values).
FAMILIES = {
    "clustered": [4, 16, 8, 16, 4, 0x08],
    "clustered-whole": [8, 12, 0, 8, 6, 0x03],
    "spread": [0xC0, 16, 40, 0, 8, 0x08],
    "sizes": [2, 0, 63, 32, 2, 0x08],
    "tiny-boxes": [4, 0x80, 8, 16, 4, 0x08],
    "near-1e30": [4, 0x7F, 4, 16, 2, 0x08],
    "nasty": [16, 8, 24, 32, 4, 0xFE],
    "copies": [8, 16, 8, 8, 3, 0x0B],
    "dense": [1, 16, 2, 4, 0, 0x00],
}


def generated_cases():
    for (name, params), n in itertools.product(FAMILIES.items(), [49, 200, 700]):
        for k, (iou, score) in enumerate([(0.5, 0.0), (0.3, 0.25), (BELOW_ONE, 0.0), (TINY, 0.5)]):
            yield f"grid-{name}-{n}-{k}", generated(n, params, unc=k + 1, scales=k + 1,
                                                     seed=n * 7 + k, iou=iou, score=score)
    for name, params in FAMILIES.items():
        yield f"grid-{name}-4096", generated(4096, params, unc=2, scales=2, seed=11)
    yield "grid-nan-probabilities", generated(300, FAMILIES["clustered"], probs=0x41, score=0.5)
    yield "grid-patched-nan", generated(
        500, FAMILIES["clustered"], patches=[(0, 1, 250, NAN), (0, 2, 10, INF), (2, 0, 3, NAN)])


def pool_cases():
    # At least 8192 detections whose searches are dear from the start: a
    # cluster or two of boxes of near one size, rarely similar enough to
    # join, so that grouping hands blocks of detections to the worker pool
    # (it decides by the time searches take, so no input is certain to).
    for k, (n, clusters, score) in enumerate([(8192, 2, 0.0), (8492, 1, 0.0), (9100, 2, TINY)]):
        yield f"pool-{k}", generated(n, [clusters, 16, 8, 4, 0, 0x00], unc=2, scales=2, seed=k,
                                     iou=0.9, score=score)


def main():
    CORPUS.mkdir(exist_ok=True)
    for old in CORPUS.iterdir():
        if not old.name.startswith("regression-"):
            old.unlink()
    count = 0
    for family in [pair_cases, filter_cases, length_cases, failure_order_cases, column_cases,
                   aggregation_cases, layout_cases, claimed_cases, generated_cases, pool_cases]:
        for name, case in family():
            (CORPUS / name).write_bytes(case.encode())
            count += 1
    print(f"{count} inputs in {CORPUS}")


if __name__ == "__main__":
    main()
