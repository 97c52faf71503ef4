"""The module against the Python reference on seeded random detections.

Outcomes are compared bit pattern for bit pattern, and failure message for
failure message. The generators lean on what breaks implementations: ties,
touching and degenerate boxes, NaN and infinities, signed zeros, thresholds
at and beyond the ends of their range, arrays of unequal length.
"""

import math

import numpy as np
import pytest

import kiv_rs
from reference import outcome, pairwise_distance, reference_score, reference_score_fast, similarity

F32 = np.float32
INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)
NAN = math.nan
INF = math.inf

# The float32 similarity of (0,0,10,10) and (5,0,15,10); exact ties with it
# are where a comparison written the wrong way round shows.
THIRD = 0.3333333134651184
IOU_EDGES = [0.0, -0.0, NAN, -0.5, 1.0, 1.0000001, 1.5, 1e-45, 0.25, 0.5, THIRD, 1 / 3, INF]
SCORE_EDGES = [0.0, -0.0, NAN, -0.1, 1.5, 1e-45, 0.05, 0.3, 0.5, 1.0, -INF]


def module_outcome(iou, score, boxes, probs, unc, scales):
    return outcome(lambda: kiv_rs.KIV(iou, score).run(boxes, probs, unc, scales)[0])


def reference_outcome(iou, score, boxes, probs, unc, scales):
    return outcome(lambda: reference_score(iou, score, boxes, probs, unc, scales))


def rng_for(*key):
    return np.random.default_rng(list(key))


# --- generators -------------------------------------------------------------


def softmax_rows(rng, n, classes, favourite=None, strength=4.0):
    logits = rng.normal(size=(n, classes))
    if favourite is not None:
        logits[np.arange(n), favourite] += strength
    logits -= logits.max(axis=1, keepdims=True)
    p = np.exp(logits)
    return (p / p.sum(axis=1, keepdims=True)).astype(F32)


def clustered_detections(rng, n_objects, n_clutter, width=1333.0, height=800.0, classes=80):
    """Objects of varied size, each seen a few times at scales 0, 1, 2 with
    jittered boxes, plus scattered clutter; rows in a shuffled order."""
    boxes, probs, unc, scales = [], [], [], []
    for _ in range(n_objects):
        w, h = np.exp(rng.uniform(np.log(12), np.log(420), size=2))
        cx, cy = rng.uniform(0, width), rng.uniform(0, height)
        label = rng.integers(classes)
        doubt = rng.uniform(0.05, 0.9)
        for scale in range(3):
            k = rng.integers(0, 4)
            jitter = rng.normal(scale=0.08, size=(k, 4)) * [w, h, w, h]
            corners = np.array([cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2]) + jitter
            boxes.append(corners)
            probs.append(softmax_rows(rng, k, classes, label, rng.uniform(1, 8)))
            unc.append(np.clip(doubt + rng.normal(scale=0.1, size=k), 0, 1))
            scales.append(np.full(k, scale))
    for _ in range(n_clutter):
        w, h = rng.uniform(4, 200, size=2)
        x, y = rng.uniform(0, width), rng.uniform(0, height)
        boxes.append(np.array([[x, y, x + w, y + h]]))
        probs.append(softmax_rows(rng, 1, classes))
        unc.append(rng.uniform(0, 1, size=1))
        scales.append(rng.integers(0, 3, size=1))
    boxes = np.concatenate(boxes or [np.zeros((0, 4))]).astype(F32)
    probs = np.concatenate(probs or [np.zeros((0, classes))]).astype(F32)
    unc = np.concatenate(unc or [np.zeros(0)]).astype(F32)
    scales = np.concatenate(scales or [np.zeros(0)]).astype(np.int64)
    order = rng.permutation(boxes.shape[0])
    return boxes[order], probs[order], unc[order], scales[order]


def sprinkle(rng, array, values, rate):
    """Replace about `rate` of the elements with picks from `values`."""
    hit = rng.random(array.shape) < rate
    array[hit] = rng.choice(np.array(values, dtype=array.dtype), size=int(hit.sum()))
    return array


def resize(rng, array, length):
    """The array cut to, or padded with copies of its own rows up to, `length` rows."""
    if length <= array.shape[0]:
        return array[:length].copy()
    missing = length - array.shape[0]
    if array.shape[0]:
        extra = array[rng.integers(array.shape[0], size=missing)]
    else:
        extra = np.zeros((missing,) + array.shape[1:], array.dtype)
    return np.concatenate([array, extra])


def nasty_detections(rng):
    n = int(rng.integers(0, 36))
    # Small integer grid: ties, shared edges, zero-area and inverted boxes.
    low = rng.integers(0, 8, size=(n, 2))
    size = rng.choice([-2, -1, 0, 1, 2, 3, 5, 8], size=(n, 2))
    boxes = np.concatenate([low, low + size], axis=1).astype(F32)
    if rng.random() < 0.2:  # areas near 1e-9, where the 1e-16 in the union shows
        boxes *= F32(rng.choice([1e-5, 3e-5, 1e-3]))
    if rng.random() < 0.6:
        boxes = sprinkle(rng, boxes, [NAN, INF, -INF, -0.0, 1e-45, 3e38, 0.5], 0.04)
    columns = rng.choice([4] * 12 + [6, 6, 3, 0])
    if columns > 4:
        boxes = np.concatenate([boxes, rng.normal(size=(n, columns - 4)).astype(F32)], 1)
    else:
        boxes = boxes[:, :columns].copy()

    classes = int(rng.choice([0, 1, 1, 2, 3, 6]))
    probs = rng.choice(
        np.array([0.0, -0.0, 1e-45, 0.05, 0.3, 0.5, 0.9, 1.0, -0.1, -1.0], F32), size=(n, classes)
    )
    probs = sprinkle(rng, probs, [NAN], rng.choice([0.0] * 4 + [0.01, 0.1]))

    unc = rng.uniform(-1, 1, size=n).astype(F32)
    unc = sprinkle(rng, unc, [0.0, -0.0, 1.0, 2.0**24, 1e8, -1e8, 3e38, -3e38, 1e-45], 0.2)
    unc = sprinkle(rng, unc, [NAN, INF, -INF], rng.choice([0.0] * 3 + [0.02, 0.1]))

    pool = rng.choice(
        np.array([0, 1, 2, -1, 7, 2**32, INT64_MIN, INT64_MAX, INT64_MAX - 1], np.int64),
        size=int(rng.integers(1, 5)),
        replace=False,
    )
    scales = rng.choice(pool, size=n)
    if rng.random() < 0.15:  # as many distinct scales as detections
        scales = rng.integers(INT64_MIN, INT64_MAX, size=n, endpoint=True)

    arrays = [boxes, probs, unc, scales]
    if rng.random() < 0.25:
        arrays = [
            resize(rng, a, max(0, n + int(rng.choice([-2, -1, 0, 0, 1, 2])))) for a in arrays
        ]
    return arrays


def tied_iou(rng, boxes):
    """The similarity of two of the boxes, or a float32 step beside it: at
    such a threshold a grouping decision turns on the last bit of that
    similarity."""
    n = boxes.shape[0]
    if n < 2 or boxes.shape[1] < 4:
        return float(rng.choice(IOU_EDGES))
    i, j = rng.choice(n, size=2, replace=False)
    with np.errstate(all="ignore"):
        value = similarity(pairwise_distance(boxes[[i]], boxes[[j]]))[0, 0]
        step = rng.choice([-INF, INF]) if rng.random() < 0.3 else value
        return float(np.nextafter(value, F32(step)))


def nasty_thresholds(rng, boxes):
    roll = rng.random()
    if roll < 0.3:
        iou = tied_iou(rng, boxes)
    elif roll < 0.8:
        iou = rng.choice(IOU_EDGES)
    else:
        iou = rng.uniform(-0.2, 1.2)
    score = rng.choice(SCORE_EDGES) if rng.random() < 0.7 else rng.uniform(-0.2, 1.2)
    return float(iou), float(score)


def degenerate_detections(rng):
    """Boxes full of NaN, infinities, zero extents and inversions, with
    everything else tame, so that each grouping decision reaches the score:
    the filter keeps every row and nothing downstream fails."""
    n = int(rng.integers(2, 30))
    low = rng.integers(0, 6, size=(n, 2))
    boxes = np.concatenate([low, low + rng.integers(-1, 5, size=(n, 2))], 1).astype(F32)
    if rng.random() < 0.3:
        boxes *= F32(rng.choice([1e-5, 3e-5]))
    boxes = sprinkle(rng, boxes, [NAN, NAN, INF, -INF, -0.0, 0.0], rng.uniform(0.02, 0.2))
    probs = np.ones((n, 1), F32)
    unc = rng.uniform(0.01, 1, size=n).astype(F32)
    scales = rng.integers(0, int(rng.integers(1, 4)), size=n)
    return [boxes, probs, unc, scales]


def clustered_case(seed):
    rng = rng_for(1, seed)
    arrays = clustered_detections(rng, int(rng.integers(0, 30)), int(rng.integers(0, 40)))
    if rng.random() < 0.3:
        iou = tied_iou(rng, arrays[0])
    else:
        iou = float(rng.choice([0.5, 0.3, 0.7, 0.0, 0.9, THIRD, rng.uniform(0, 1)]))
    score = float(rng.choice([0.05, 0.0, 0.1, 0.3, 1e-45, rng.uniform(0, 0.5)]))
    return iou, score, arrays


def nasty_case(seed):
    rng = rng_for(2, seed)
    arrays = nasty_detections(rng)
    return (*nasty_thresholds(rng, arrays[0]), arrays)


def degenerate_case(seed):
    rng = rng_for(6, seed)
    arrays = degenerate_detections(rng)
    iou = tied_iou(rng, arrays[0]) if rng.random() < 0.4 else float(rng.choice(IOU_EDGES))
    return iou, float(rng.choice([0.0, -0.0, 0.5, 1.0])), arrays


# --- the comparisons --------------------------------------------------------


@pytest.mark.parametrize("seed", range(120))
def test_clustered_detections(seed):
    iou, score, arrays = clustered_case(seed)
    assert module_outcome(iou, score, *arrays) == reference_outcome(iou, score, *arrays)


@pytest.mark.parametrize("seed", range(400))
def test_nasty_detections(seed):
    iou, score, arrays = nasty_case(seed)
    assert module_outcome(iou, score, *arrays) == reference_outcome(iou, score, *arrays)


@pytest.mark.parametrize("seed", range(200))
def test_degenerate_boxes(seed):
    iou, score, arrays = degenerate_case(seed)
    assert module_outcome(iou, score, *arrays) == reference_outcome(iou, score, *arrays)


@pytest.mark.parametrize("family", ["clustered", "nasty", "degenerate"])
@pytest.mark.parametrize("seed", range(30))
def test_similarity_bits(family, seed):
    # Two detections are grouped at an iou_threshold equal to their
    # similarity and kept apart one float32 step above it, so the pair of
    # outcomes pins the module's similarity to the last bit.
    case = {"clustered": clustered_case, "nasty": nasty_case, "degenerate": degenerate_case}
    boxes = np.zeros((0, 4), F32)
    while boxes.shape[0] < 2 or boxes.shape[1] < 4:  # some cases have fewer
        boxes = case[family](3000 + seed)[2][0]
        seed += 100
    rng = rng_for(7, seed)
    with np.errstate(all="ignore"):
        sim = similarity(pairwise_distance(boxes, boxes))
    # Overlapping pairs first: a similarity of exactly 0.0 or 1.0 tests little.
    later, earlier = np.nonzero(~((sim == 0) | (sim == 1)))
    pairs = [(i, j) for i, j in zip(later, earlier) if i != j] or [(1, 0)]
    probs, unc, scales = np.ones((2, 1), F32), np.array([1, 2], F32), np.array([0, 1])
    for k in rng.choice(len(pairs), size=12):
        pair = boxes[[pairs[k][1], pairs[k][0]]]
        with np.errstate(all="ignore"):
            value = similarity(pairwise_distance(pair[[1]], pair[[0]]))[0, 0]
        for iou in (value, np.nextafter(value, F32(INF))):
            expected = reference_outcome(float(iou), 0.0, pair, probs, unc, scales)
            assert module_outcome(float(iou), 0.0, pair, probs, unc, scales) == expected


def strided_views(rng, arrays):
    """Logically equal views of each array with other memory layouts:
    Fortran order, negative strides, gaps, read-only flags and misaligned
    elements."""
    boxes, probs, unc, scales = arrays

    def reversed_view(a):
        flipped = np.ascontiguousarray(a[(slice(None, None, -1),) * a.ndim])
        return flipped[(slice(None, None, -1),) * a.ndim]

    def gapped(a):
        big = np.zeros(tuple(2 * s + 1 for s in a.shape), a.dtype)
        view = big[(slice(1, None, 2),) * a.ndim]
        view[...] = a
        return view

    def read_only(a):
        a = a.copy()
        a.setflags(write=False)
        return a

    def unaligned(a):
        # One byte into a buffer: elements straddle their natural alignment.
        raw = bytearray(a.nbytes + 1)
        view = np.frombuffer(raw, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
        view[...] = a
        return view

    layouts = [np.asfortranarray, reversed_view, gapped, read_only, unaligned]
    return [layouts[rng.integers(len(layouts))](a) for a in (boxes, probs, unc, scales)]


@pytest.mark.parametrize("seed", range(40))
def test_memory_layout_does_not_matter(seed):
    iou, score, arrays = clustered_case(1000 + seed) if seed % 2 else nasty_case(1000 + seed)
    views = strided_views(rng_for(3, seed), arrays)
    for view, array in zip(views, arrays):
        assert np.array_equal(view, array, equal_nan=True)
    expected = reference_outcome(iou, score, *arrays)
    assert module_outcome(iou, score, *views) == expected
    assert module_outcome(iou, score, *arrays) == expected


@pytest.mark.parametrize("distinct", [1, 15, 16, 17, 40])
@pytest.mark.parametrize("score", [0.0, 0.05])
def test_many_distinct_scales(distinct, score):
    # A handful of distinct scale values is the usual case; many, in any
    # order and repeated, must give the same buckets.
    rng = rng_for(8, distinct)
    arrays = list(clustered_detections(rng, 12, 10))
    n = arrays[0].shape[0]
    values = rng.choice(2**62, size=distinct, replace=False).astype(np.int64) - 2**61
    values[: min(distinct, 2)] = [INT64_MIN, INT64_MAX][: min(distinct, 2)]
    arrays[3] = values[np.arange(n) % distinct][rng.permutation(n)]
    expected = reference_outcome(0.5, score, *arrays)
    assert module_outcome(0.5, score, *arrays) == expected


@pytest.mark.parametrize("seed", range(10))
def test_broadcast_rows(seed):
    # Zero strides: every detection repeats one row or one value.
    rng = rng_for(4, seed)
    n = int(rng.integers(1, 30))
    box = np.array([[0, 0, 10, 10]], F32) + F32(rng.integers(0, 3))
    views = [
        np.broadcast_to(box, (n, 4)),
        np.broadcast_to(softmax_rows(rng, 1, 5), (n, 5)),
        np.broadcast_to(F32(rng.uniform(-1, 1)), (n,)),
        np.broadcast_to(rng.choice([INT64_MIN, 0, INT64_MAX]), (n,)),
    ]
    copies = [np.array(v) for v in views]
    score_threshold = float(rng.choice([0.0, 0.1, 0.5]))
    expected = reference_outcome(0.5, score_threshold, *copies)
    assert module_outcome(0.5, score_threshold, *views) == expected


@pytest.mark.parametrize("seed", range(30))
def test_whole_matrix_reference_agrees_with_literal(seed):
    # The large-input comparisons below trust reference_score_fast.
    iou, score, arrays = clustered_case(2000 + seed) if seed % 3 == 0 else nasty_case(2000 + seed)
    literal = reference_outcome(iou, score, *arrays)
    assert outcome(lambda: reference_score_fast(iou, score, *arrays)) == literal


@pytest.mark.slow
@pytest.mark.parametrize(
    "seed, n_objects, iou, score",
    [
        (0, 250, 0.5, 0.0), (1, 400, 0.3, 0.05), (2, 300, 0.7, 1e-45), (3, 350, 0.0, 0.2),
        (4, 700, 0.5, 0.05),
    ],
)
def test_thousands_of_detections(seed, n_objects, iou, score):
    rng = rng_for(5, seed)
    arrays = clustered_detections(rng, n_objects, n_objects // 2)
    assert 1000 <= arrays[0].shape[0] <= 4000
    expected = outcome(lambda: reference_score_fast(iou, score, *arrays))
    assert module_outcome(iou, score, *arrays) == expected
