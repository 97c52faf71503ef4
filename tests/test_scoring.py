"""Worked examples of the image score, checked bit for bit.

Each example runs through the module and through the Python reference, so
the reference that the differential tests trust is held to the same
literal expectations.
"""

import math

import numpy as np
import pytest

import kiv_rs
from reference import float32_bits, outcome, reference_score

UNWRAP = "called `Option::unwrap()` on a `None` value"
BOX_INDEX = "assertion failed: index < dim"
OUT_OF_BOUNDS = "ndarray: index out of bounds"
NAN = math.nan
INF = math.inf
INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


def module_score(iou, score, boxes, probs, unc, scales):
    result = kiv_rs.KIV(iou, score).run(boxes, probs, unc, scales)
    assert type(result) is tuple and len(result) == 2 and result[1] is None
    value = result[0]
    assert type(value) is float
    assert math.isnan(value) or float(np.float32(value)) == value
    return value


IMPLEMENTATIONS = {"module": module_score, "reference": reference_score}


@pytest.fixture(params=sorted(IMPLEMENTATIONS))
def scorer(request):
    """Runs one call and returns ('score', bits) or ('failure', message)."""
    impl = IMPLEMENTATIONS[request.param]

    def run(iou, score, boxes, probs, unc, scales):
        return outcome(lambda: impl(iou, score, boxes, probs, unc, scales))

    return run


def scored(value):
    return ("score", float32_bits(value))


def failed(message):
    return ("failure", message)


def f32(values, cols=None):
    array = np.array(values, dtype=np.float32)
    if cols is not None:
        array = array.reshape(-1, cols)
    return array


def i64(values):
    return np.array(values, dtype=np.int64)


def disjoint_boxes(n):
    """n boxes that do not touch one another, so each is its own object."""
    return f32([(10 * i, 0, 10 * i + 5, 5) for i in range(n)], cols=4)


def same_boxes(n):
    return f32([(0, 0, 4, 4)] * n, cols=4)


# --- score filter -----------------------------------------------------------
#
# Detection i is its own object with uncertainty 2**i at one scale, so the
# image score is the bit mask of the detections the filter keeps.


def mask_input(probs, n=None, n_boxes=None, n_unc=None, n_scales=None):
    probs = f32(probs)
    n = probs.shape[0] if n is None else n
    n_boxes = n if n_boxes is None else n_boxes
    n_unc = n if n_unc is None else n_unc
    n_scales = n if n_scales is None else n_scales
    unc = f32([2.0**i for i in range(n_unc)])
    return disjoint_boxes(n_boxes), probs, unc, i64([0] * n_scales)


NEGATIVE = [[-0.5, -0.25], [-1.0, -2.0]]


@pytest.mark.parametrize(
    "threshold, probs, expected",
    [
        # Zero of either sign switches the filter off: all kept, rows unread.
        (0.0, NEGATIVE, scored(3)),
        (-0.0, NEGATIVE, scored(3)),
        (0.0, [[0.2, NAN], [NAN, 0.5]], scored(3)),
        (-0.0, np.zeros((2, 0)), scored(3)),
        # A NaN threshold runs the filter and keeps nothing.
        (NAN, [[0.9, 1.0], [0.5, 0.1]], scored(0)),
        # The smallest positive float32 drops exactly the zero confidences.
        (1e-45, [[0.0, 0.0], [1e-45, 0.0], [0.0, -0.0], [-0.0, 0.5]], scored(2 + 8)),
        # A negative threshold runs the filter too.
        (-0.5, [[-0.25, -1.0], [-0.75, -1.0], [-0.5, -0.9]], scored(1 + 4)),
        (-0.5, [[-1.0, NAN]], failed(UNWRAP)),
        # Equal to the threshold in float32 is kept; one ulp below is not.
        (0.3, [[0.3, 0.0], [np.nextafter(np.float32(0.3), np.float32(0)), 0.0], [0.1, 0.3]],
         scored(1 + 4)),
        # Of equal maxima the later wins: (0.0, -0.0) gives -0.0, still >= -1e-45.
        (-1e-45, [[0.0, -0.0], [-0.0, 0.0]], scored(3)),
        (1e-45, [[0.0, -0.0], [-0.0, 0.0]], scored(0)),
        # A lone NaN is its own maximum and is never kept; NaN beside
        # anything fails, wherever it sits and whether or not the row passes.
        (0.5, [[NAN], [0.9]], scored(2)),
        (0.5, [[0.9, 0.0, 0.0], [0.2, NAN, 0.9]], failed(UNWRAP)),
        (0.5, [[NAN, 0.5]], failed(UNWRAP)),
        (NAN, [[0.1, 0.2], [0.3, NAN]], failed(UNWRAP)),
        # Rows without elements fail once the filter runs.
        (0.5, np.zeros((2, 0)), failed(UNWRAP)),
    ],
)
def test_score_filter(scorer, threshold, probs, expected):
    assert scorer(0.5, threshold, *mask_input(probs)) == expected


@pytest.mark.parametrize(
    "threshold, probs, lengths, expected",
    [
        # Filter on: rows past the class table are dropped without a word.
        (0.5, [[0.9]] * 3, dict(n=5), scored(7)),
        (0.5, [[0.9], [0.1], [0.9]], dict(n=5), scored(5)),
        # A kept index past the end of another array: boxes, then
        # uncertainties, then scales, each with its own message.
        (0.5, [[0.1]] * 4 + [[0.9]], dict(n_boxes=3), failed(BOX_INDEX)),
        (0.5, [[0.1]] * 4 + [[0.9]], dict(n_unc=4),
         failed("ndarray: index 4 is out of bounds in array of len 4")),
        (0.5, [[0.1]] * 4 + [[0.9]], dict(n_scales=4),
         failed("ndarray: index 4 is out of bounds in array of len 4")),
        (0.5, [[0.1]] * 4 + [[0.9]], dict(n_boxes=3, n_unc=2, n_scales=1), failed(BOX_INDEX)),
        (0.5, [[0.1]] * 4 + [[0.9]], dict(n_unc=2, n_scales=1),
         failed("ndarray: index 4 is out of bounds in array of len 2")),
        # The message names the largest kept index, not the first bad one.
        (0.5, [[0.1], [0.9], [0.1], [0.9]], dict(n_unc=1),
         failed("ndarray: index 3 is out of bounds in array of len 1")),
        # Dropped rows are never checked against the other arrays.
        (0.5, [[0.9], [0.9], [0.1], [0.1]], dict(n_boxes=2, n_unc=2, n_scales=2), scored(3)),
        # A bad class row is found before any gather.
        (0.5, [[0.9, 0.9]] * 4 + [[NAN, 0.9]], dict(n_boxes=1), failed(UNWRAP)),
        # No class rows: nothing kept, nothing else looked at.
        (0.5, np.zeros((0, 3)), dict(n_boxes=4, n_unc=1, n_scales=2), scored(0)),
        # Filter off: the class table is never read, its length does not matter.
        (0.0, np.zeros((7, 0)), dict(n=3), scored(7)),
        # Filter off, lengths differ: scales against uncertainties first ...
        (0.0, [[0.9]] * 3, dict(n_scales=4),
         failed("assertion `left == right` failed\n  left: 4\n right: 3")),
        (0.0, [[0.9]] * 3, dict(n_boxes=0, n_scales=4),
         failed("assertion `left == right` failed\n  left: 4\n right: 3")),
        (0.0, [[0.9]] * 3, dict(n_boxes=5, n_scales=4),
         failed("assertion `left == right` failed\n  left: 4\n right: 3")),
        # ... then a member without a scale and uncertainty.
        (0.0, [[0.9]] * 3, dict(n_boxes=5, n_unc=4, n_scales=4), failed(OUT_OF_BOUNDS)),
        # Fewer boxes than values: the surplus uncertainties are unused.
        (0.0, [[0.9]] * 3, dict(n_boxes=2, n_unc=4, n_scales=4), scored(3)),
    ],
)
def test_mismatched_lengths(scorer, threshold, probs, lengths, expected):
    assert scorer(0.5, threshold, *mask_input(probs, **lengths)) == expected


def test_surplus_scales_still_count_as_scales(scorer):
    # Two boxes, three scale values: the key 7 belongs to no detection but
    # its empty bucket takes part with +0.0, lifting the negative object.
    boxes, probs, unc = same_boxes(2), np.zeros((2, 1), np.float32), f32([-0.5, -0.25, 100.0])
    assert scorer(0.5, 0.0, boxes, probs, unc, i64([5, 5, 7])) == scored(0.0)
    assert scorer(0.5, 0.0, boxes, probs, unc, i64([5, 5, 5])) == scored(-0.75)


@pytest.mark.parametrize(
    "boxes, threshold, expected",
    [
        (np.zeros((1, 3), np.float32), 0.0, failed(OUT_OF_BOUNDS)),
        (np.zeros((1, 0), np.float32), 0.0, failed(OUT_OF_BOUNDS)),
        # With no detection left the columns are never looked at.
        (np.zeros((0, 2), np.float32), 0.0, scored(0)),
        (np.zeros((1, 3), np.float32), 0.95, scored(0)),
        (np.zeros((1, 3), np.float32), 0.5, failed(OUT_OF_BOUNDS)),
    ],
)
def test_box_columns(scorer, boxes, threshold, expected):
    n = boxes.shape[0]
    probs = np.full((n, 1), 0.9, np.float32)
    assert scorer(0.5, threshold, boxes, probs, np.ones(n, np.float32), i64([0] * n)) == expected


def test_columns_past_the_fourth_are_ignored(scorer):
    rng = np.random.default_rng(7)
    corners = rng.uniform(0, 20, size=(12, 2)).astype(np.float32)
    boxes4 = np.concatenate([corners, corners + 6], axis=1)
    boxes6 = np.concatenate([boxes4, rng.uniform(-1e9, 1e9, size=(12, 2)).astype(np.float32)], 1)
    boxes6[3, 5] = NAN
    probs, unc, scales = np.ones((12, 1), np.float32), rng.random(12, np.float32), i64([0, 1] * 6)
    first = scorer(0.3, 0.0, boxes4, probs, unc, scales)
    assert first == scorer(0.3, 0.0, boxes6, probs, unc, scales)
    assert first[0] == "score"


# --- overlap and grouping ---------------------------------------------------
#
# Detection i has scale i and uncertainty 2**i, so an object scores 2**(its
# last member) and the image score tells the groups apart.


def groups_score(groups):
    return scored(sum(2.0 ** max(group) for group in groups))


def run_groups(scorer, boxes, iou):
    boxes = f32(boxes, cols=4)
    n = boxes.shape[0]
    unc = f32([2.0**i for i in range(n)])
    return scorer(iou, 0.0, boxes, np.zeros((n, 0), np.float32), unc, i64(range(n)))


A = (0, 0, 10, 10)
P, Q, R = (0, 0, 10, 10), (12, 0, 22, 10), (6, 0, 16, 10)
TINY = (0, 0, 2e-4, 2e-4)  # area a little over 1e-8
TINIER = (0, 0, 5e-5, 5e-5)
NAN_BOX = (NAN, 0, 10, 10)


@pytest.mark.parametrize(
    "boxes, iou, groups",
    [
        # Similarity 0.3333333134651184: grouped at 0.3, not at 1/3
        # (held as 0.3333333432674408), grouped at exactly its own value.
        ([A, (5, 0, 15, 10)], 0.3, [[0, 1]]),
        ([A, (5, 0, 15, 10)], 1 / 3, [[0], [1]]),
        ([A, (5, 0, 15, 10)], 0.3333333134651184, [[0, 1]]),
        # Similarity 0.36000001430511475 is the float32 0.36 itself.
        ([A, (2, 2, 8, 8)], 0.36, [[0, 1]]),
        ([A, (2, 2, 8, 8)], 0.3600001, [[0], [1]]),
        # Identical boxes: similarity 1.0 down to areas of about 1e-8 ...
        ([TINY, TINY], 1.0, [[0, 1]]),
        ([TINY, TINY], 1.0000001, [[0], [1]]),
        ([A, A], 1.0, [[0, 1]]),
        # ... and 0.9999999403953552 for 5e-5 by 5e-5, where the 1e-16 tells.
        ([TINIER, TINIER], 1.0, [[0], [1]]),
        ([TINIER, TINIER], 0.99999994, [[0, 1]]),
        # Touching, disjoint, zero-width and inverted boxes have similarity
        # 0.0 (the last two even with themselves): grouped only at <= 0.
        ([A, (10, 0, 20, 10)], 1e-45, [[0], [1]]),
        ([A, (10, 0, 20, 10)], 0.0, [[0, 1]]),
        ([A, (0, 10, 10, 20)], -0.0, [[0, 1]]),
        ([(0, 0, 0, 10), (0, 0, 0, 10)], 1e-45, [[0], [1]]),
        ([(0, 0, 10, 0), (0, 0, 10, 0)], 0.0, [[0, 1]]),
        ([(10, 10, 0, 0), (10, 10, 0, 0)], 1e-45, [[0], [1]]),
        ([A, (10, 0, 0, 10)], 1e-45, [[0], [1]]),
        # At or below zero every finite detection joins the first object.
        ([A, (50, 50, 60, 60), (10, 0, 20, 10), (10, 10, 0, 0), (3, 3, 3, 9)], 0.0,
         [[0, 1, 2, 3, 4]]),
        ([A, (50, 50, 60, 60), (1e6, 1e6, 2e6, 2e6)], -5.0, [[0, 1, 2]]),
        # Above one, or NaN, nothing joins anything, not even a twin.
        ([A, A, A], 1.5, [[0], [1], [2]]),
        ([A, A, A], NAN, [[0], [1], [2]]),
        # First match wins, objects never merge, order matters.
        ([P, Q, R], 0.2, [[0, 2], [1]]),
        ([P, R, Q], 0.2, [[0, 1, 2]]),
        ([P, Q, R], 0.25, [[0, 2], [1]]),
        ([P, Q, R], 0.2500001, [[0], [1], [2]]),
        # A NaN box joins no object, and nothing joins the one it starts.
        ([A, NAN_BOX, A], 0.5, [[0, 2], [1]]),
        ([NAN_BOX, A, A], 0.5, [[0], [1, 2]]),
        ([NAN_BOX, NAN_BOX], 0.0, [[0], [1]]),
        # ... but a NaN box that misses along the other axis is 0.0 apart.
        ([(40, 0, 50, 10), NAN_BOX], 0.0, [[0, 1]]),
        ([(0, NAN, 10, 10), (20, 0, 30, 10)], 0.0, [[0, 1]]),
    ],
)
def test_grouping(scorer, boxes, iou, groups):
    assert run_groups(scorer, boxes, iou) == groups_score(groups)


@pytest.mark.parametrize("iou", [0.5, 0.0, NAN])
@pytest.mark.parametrize("n", [0, 1])
def test_no_or_one_detection(scorer, n, iou):
    assert run_groups(scorer, [A] * n, iou) == scored(2.0**0 if n else 0.0)


def test_infinite_boxes(scorer):
    # Two unbounded boxes meet in (inf + inf) - inf: NaN, never grouped;
    # a finite box against an unbounded one is 100 / inf apart: 0.0.
    whole = (-INF, -INF, INF, INF)
    assert run_groups(scorer, [whole, whole, A], 0.5) == groups_score([[0], [1], [2]])
    assert run_groups(scorer, [whole, whole, A], 0.0) == groups_score([[0, 2], [1]])
    assert run_groups(scorer, [A, (0, 0, INF, 10)], 0.5) == groups_score([[0], [1]])


# --- buckets, object scores, image score ------------------------------------


def aggregate_input(dets, twins=True):
    """dets: (scale, uncertainty) per detection. With twins, all detections
    share one box and form one object; otherwise each is its own object."""
    n = len(dets)
    boxes = same_boxes(n) if twins else disjoint_boxes(n)
    scales = i64([s for s, _ in dets])
    unc = f32([u for _, u in dets])
    return boxes, np.zeros((n, 0), np.float32), unc, scales


ONE, EACH = True, False


@pytest.mark.parametrize(
    "dets, grouping, expected",
    [
        # Sums round to float32 after every addition, strictly in order.
        ([(0, 2.0**24), (0, 1.0), (0, 1.0)], ONE, scored(2.0**24)),
        ([(0, 1.0), (0, 1.0), (0, 2.0**24)], ONE, scored(2.0**24 + 2)),
        ([(0, 1e8), (0, 1.0), (0, -1e8)], ONE, scored(0.0)),
        ([(0, 1e8), (0, 1.0), (0, -1e8)], EACH, scored(0.0)),
        ([(0, -0.0), (0, -0.0)], ONE, scored(0.0)),
        ([(0, -0.0), (0, -0.0)], EACH, scored(0.0)),
        ([(0, -0.5), (0, 0.5)], EACH, scored(0.0)),
        # A scale the object lacks counts as +0.0 ...
        ([(0, -0.5), (1, -0.25)], EACH, scored(0.0)),
        # ... while members at every scale give the largest negative sum.
        ([(0, -0.5), (1, -0.25)], ONE, scored(-0.25)),
        ([(0, -0.5), (0, -0.25)], EACH, scored(-0.75)),
        # NaN: passed through with one scale, a failure with two.
        ([(3, NAN)], ONE, scored(NAN)),
        ([(3, 1.0), (3, NAN)], EACH, scored(NAN)),
        ([(3, NAN), (4, 1.0)], EACH, failed(UNWRAP)),
        ([(3, NAN), (3, 1.0), (4, 100.0)], ONE, failed(UNWRAP)),
        # Infinities compare normally; opposite ones meet as NaN.
        ([(0, INF), (1, 1.0)], ONE, scored(INF)),
        ([(0, INF), (1, -INF)], ONE, scored(INF)),
        ([(0, INF), (0, -INF)], ONE, scored(NAN)),
        ([(0, INF), (0, -INF)], EACH, scored(NAN)),
        ([(0, INF), (1, -INF)], EACH, scored(INF)),
        ([(0, 3e38), (0, 3e38)], EACH, scored(INF)),
        # d0 (scale 1, 0.5), d1 (scale 2, 0.25), d2 (scale 1, 0.125).
        ([(1, 0.5), (2, 0.25), (1, 0.125)], ONE, scored(0.625)),
        ([(1, 0.5), (2, 0.25), (1, 0.125)], EACH, scored(0.875)),
        ([(0, 0.1)], ONE, scored(0.10000000149011612)),
        # Scales are told apart by exact 64-bit equality.
        ([(INT64_MAX, 1.0), (INT64_MAX - 1, 1.0), (INT64_MIN, 1.0), (INT64_MIN + 1, 1.0)], ONE,
         scored(1.0)),
        ([(-1, 1.0), (0, 1.0), (1, 1.0), (INT64_MAX, 1.0), (2**32, 1.0), (-(2**32), 1.0)], ONE,
         scored(1.0)),
        ([(INT64_MAX, 1.0), (INT64_MAX, 2.0), (INT64_MIN, 2.5)], ONE, scored(3.0)),
        ([(INT64_MIN, -1.0), (INT64_MIN, -2.0)], EACH, scored(-3.0)),
    ],
)
def test_aggregation(scorer, dets, grouping, expected):
    assert scorer(0.5, 0.0, *aggregate_input(dets, grouping)) == expected


def test_objects_apart_sum_their_maxima(scorer):
    # {d0, d2} share a box, d1 stands apart: 0.625 + 0.25.
    boxes = f32([(0, 0, 4, 4), (50, 50, 54, 54), (0, 0, 4, 4)], cols=4)
    unc, scales = f32([0.5, 0.25, 0.125]), i64([1, 2, 1])
    assert scorer(0.5, 0.0, boxes, np.zeros((3, 0), np.float32), unc, scales) == scored(0.875)


def test_empty_input_scores_positive_zero(scorer):
    empty = np.zeros((0, 4), np.float32)
    for threshold in (0.0, 0.5):
        got = scorer(0.5, threshold, empty, np.zeros((0, 80), np.float32),
                     np.zeros(0, np.float32), i64([]))
        assert got == scored(0.0)


def test_same_instance_after_a_failure():
    kiv = kiv_rs.KIV(0.5, 0.0)
    boxes, probs, unc, scales = aggregate_input([(1, 0.5), (2, 0.25), (1, 0.125)], ONE)
    before = kiv.run(boxes, probs, unc, scales)
    with pytest.raises(BaseException) as info:
        kiv.run(boxes, probs, f32([NAN, 1.0, 1.0]), scales)
    assert type(info.value).__name__ == "PanicException"
    assert kiv.run(boxes, probs, unc, scales) == before == (0.625, None)
