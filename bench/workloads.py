"""Seeded benchmark inputs: one image's detector output each.

Every workload is rebuilt from its seed, so a measuring subprocess and the
parent that compares results see the same arrays without passing them around.
Inputs are contiguous row-major float32 / int64 arrays, as a detector hands them
over.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

WIDTH = 1333.0
HEIGHT = 800.0
N_CLASSES = 80
SCALES = np.array([0, 1, 2], dtype=np.int64)  # test-time scales, used as labels only
IOU_THRESHOLD = 0.5
SCORE_THRESHOLD = 0.05


@dataclass(frozen=True)
class Workload:
    name: str
    kind: str
    n: int
    seed: int
    iou_threshold: float = IOU_THRESHOLD
    score_threshold: float = SCORE_THRESHOLD
    # Only the module runs it: a pairwise matrix of this size does not fit.
    module_only: bool = False

    def arrays(self):
        return _BUILDERS[self.kind](self.n, np.random.default_rng(self.seed))


def _softmax_rows(logits: np.ndarray) -> np.ndarray:
    shifted = logits - logits.max(axis=1, keepdims=True)
    e = np.exp(shifted)
    return (e / e.sum(axis=1, keepdims=True)).astype(np.float32)


def _probabilities(rng, n: int, classes: np.ndarray, peak: np.ndarray,
                   spread: np.ndarray | float = 1.0) -> np.ndarray:
    """80-class softmax rows; `peak` is how far the true class's logit stands
    out of noise logits with standard deviation `spread`."""
    logits = rng.normal(0.0, 1.0, size=(n, N_CLASSES)) * np.reshape(spread, (-1, 1))
    logits[np.arange(n), classes] += peak
    return _softmax_rows(logits)


def _clip_boxes(x0, y0, x1, y1) -> np.ndarray:
    x0 = np.clip(x0, 0.0, WIDTH - 1.0)
    y0 = np.clip(y0, 0.0, HEIGHT - 1.0)
    x1 = np.clip(x1, x0 + 1.0, WIDTH)
    y1 = np.clip(y1, y0 + 1.0, HEIGHT)
    return np.stack([x0, y0, x1, y1], axis=1).astype(np.float32)


def _detector_order(rng, boxes, probs, unc, scales):
    """Concatenated per-scale output, each scale sorted by confidence, as a
    multi-scale detector run emits it."""
    conf = probs.max(axis=1)
    order = np.lexsort((-conf, scales))
    return (np.ascontiguousarray(boxes[order]), np.ascontiguousarray(probs[order]),
            np.ascontiguousarray(unc[order]), np.ascontiguousarray(scales[order]))


def clustered(n: int, rng):
    """About n/15 objects of varied size, each found several times at every
    scale with jittered boxes, plus about 10% clutter."""
    n_clutter = n // 10
    n_true = n - n_clutter
    n_obj = max(1, round(n / 15))

    # Objects: log-uniform size from 12 px to 500 px, aspect ratio 0.5 to 2.
    size = np.exp(rng.uniform(np.log(12.0), np.log(500.0), n_obj))
    aspect = np.exp(rng.uniform(np.log(0.5), np.log(2.0), n_obj))
    ow = size * np.sqrt(aspect)
    oh = size / np.sqrt(aspect)
    cx = rng.uniform(0.0, WIDTH, n_obj)
    cy = rng.uniform(0.0, HEIGHT, n_obj)
    ocls = rng.integers(0, N_CLASSES, n_obj)

    # Some objects are found far more often than others.
    weight = rng.gamma(2.0, 1.0, n_obj)
    owner = rng.choice(n_obj, size=n_true, p=weight / weight.sum())
    w = ow[owner] * np.exp(rng.normal(0.0, 0.08, n_true))
    h = oh[owner] * np.exp(rng.normal(0.0, 0.08, n_true))
    x = cx[owner] + rng.normal(0.0, 0.06, n_true) * ow[owner]
    y = cy[owner] + rng.normal(0.0, 0.06, n_true) * oh[owner]

    # Clutter: small to medium boxes anywhere, weak and undecided; about half
    # of it falls below the score threshold.
    cw = np.exp(rng.uniform(np.log(8.0), np.log(200.0), n_clutter))
    ch = cw * np.exp(rng.uniform(np.log(0.5), np.log(2.0), n_clutter))
    ccx = rng.uniform(0.0, WIDTH, n_clutter)
    ccy = rng.uniform(0.0, HEIGHT, n_clutter)

    boxes = _clip_boxes(np.concatenate([x - w / 2, ccx - cw / 2]),
                        np.concatenate([y - h / 2, ccy - ch / 2]),
                        np.concatenate([x + w / 2, ccx + cw / 2]),
                        np.concatenate([y + h / 2, ccy + ch / 2]))
    classes = np.concatenate([ocls[owner], rng.integers(0, N_CLASSES, n_clutter)])
    peak = np.concatenate([rng.uniform(2.0, 9.0, n_true), rng.uniform(0.0, 2.0, n_clutter)])
    spread = np.concatenate([np.ones(n_true), np.full(n_clutter, 0.5)])
    probs = _probabilities(rng, n, classes, peak, spread)
    unc = np.concatenate([rng.beta(2.0, 5.0, n_true), rng.uniform(0.0, 1.0, n_clutter)])
    unc = unc.astype(np.float32)
    scales = rng.choice(SCALES, size=n)
    return _detector_order(rng, boxes, probs, unc, scales)


def _plain_attributes(rng, n: int):
    """Confident probabilities (every row passes the filter), uncertainty and scale."""
    classes = rng.integers(0, N_CLASSES, n)
    probs = _probabilities(rng, n, classes, rng.uniform(6.0, 10.0, n))
    unc = rng.uniform(0.0, 1.0, n).astype(np.float32)
    scales = rng.choice(SCALES, size=n)
    return probs, unc, scales


def disjoint(n: int, rng):
    """Every detection its own object: a grid of boxes with gaps between them."""
    cols = int(np.ceil(np.sqrt(n * WIDTH / HEIGHT)))
    rows = int(np.ceil(n / cols))
    pitch = min(WIDTH / cols, HEIGHT / rows)
    i = rng.permutation(n)
    gx = (i % cols) * pitch
    gy = (i // cols) * pitch
    side = pitch * 0.8
    boxes = np.stack([gx, gy, gx + side, gy + side], axis=1).astype(np.float32)
    probs, unc, scales = _plain_attributes(rng, n)
    return boxes, probs, unc, scales


def identical(n: int, rng):
    """One box reported n times: a single object."""
    boxes = np.tile(np.array([[400.0, 250.0, 620.0, 480.0]], dtype=np.float32), (n, 1))
    probs, unc, scales = _plain_attributes(rng, n)
    return boxes, probs, unc, scales


def chain(n: int, rng):
    """10 px boxes 3 px apart along a path that snakes over the image: each
    overlaps its neighbours by IoU 7/13 and the boxes two steps away by 0.25,
    so the whole chain is one object spread over the image."""
    step, side, row_gap = 3.0, 10.0, 30.0
    points = []
    x, y, direction = 0.0, 0.0, 1.0
    while len(points) < n:
        points.append((x, y))
        nx = x + direction * step
        if 0.0 <= nx <= WIDTH - side:
            x = nx
            continue
        for _ in range(int(row_gap / step)):  # turn: walk down to the next row
            y += step
            points.append((x, y))
        direction = -direction
    pts = np.array(points[:n], dtype=np.float64)
    boxes = np.concatenate([pts, pts + side], axis=1).astype(np.float32)
    probs, unc, scales = _plain_attributes(rng, n)
    return boxes, probs, unc, scales


_BUILDERS = {
    "clustered": clustered,
    "disjoint": disjoint,
    "identical": identical,
    "chain": chain,
}

WORKLOADS = [
    Workload("tiny N=16", "clustered", 16, seed=16),
    Workload("clustered N=100", "clustered", 100, seed=100),
    Workload("clustered N=1,000", "clustered", 1_000, seed=1_000),
    Workload("clustered N=5,000", "clustered", 5_000, seed=5_000),
    Workload("clustered N=20,000", "clustered", 20_000, seed=20_000),
    Workload("filter off N=5,000", "clustered", 5_000, seed=5_001, score_threshold=0.0),
    Workload("disjoint N=5,000", "disjoint", 5_000, seed=5_002),
    Workload("identical N=5,000", "identical", 5_000, seed=5_003),
    Workload("chain N=5,000", "chain", 5_000, seed=5_004),
    Workload("clustered N=100,000", "clustered", 100_000, seed=100_000, module_only=True),
]

BY_NAME = {w.name: w for w in WORKLOADS}
