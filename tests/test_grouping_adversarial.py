"""Grouping of more than 48 detections, on inputs at the edges of what the
module's candidate search may rule out.

With a positive `iou_threshold` of at most 1 and more than 48 detections, the
module does not compare every pair: it searches an index of earlier boxes and
skips those that geometric bounds (shares of extents and areas, ranges of low
corners, levels of box size) say cannot be similar enough. A bound that is a
hair too tight loses exactly the pairs whose similarity equals the threshold.
So each case here builds such a pair, an earlier "member" and a later
"query" with the threshold set to their float32 similarity (they must be
grouped) and one float32 step above it (they must not), among filler boxes
whose size moves the pair to another level of the index, or off all levels.
"""

import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import kiv_rs
from reference import aggregate, outcome, pairwise_distance, reference_score, similarity

F32 = np.float32
INF = math.inf


def pair_similarity(member, query):
    """float32 similarity of the query (row) against the member (column)."""
    boxes = np.array([query, member], F32)
    with np.errstate(all="ignore"):
        return similarity(pairwise_distance(boxes[[0]], boxes[[1]]))[0, 0]


def outcomes(iou, score, arrays):
    module = outcome(lambda: kiv_rs.KIV(iou, score).run(*arrays)[0])
    literal = outcome(lambda: reference_score(iou, score, *arrays))
    return module, literal


# --- one pair at its threshold among fillers --------------------------------

# Member first, query second. The pairs make the bounds tight: one box inside
# the other with a shared edge puts a low corner at the end of its allowed
# range and the overlap along one axis at exactly the threshold's share.
PAIRS = {
    "query at the far end of a wider member": ([0, 0, 10, 10], [7, 0, 10, 10]),
    "member at the far end of a wider query": ([7, 0, 10, 10], [0, 0, 10, 10]),
    "the same along the other axis": ([0, 0, 10, 10], [0, 7, 10, 10]),
    "shifted by half": ([0, 0, 10, 10], [5, 0, 15, 10]),
    "nested in both axes": ([0, 0, 10, 10], [2, 2, 8, 8]),
    "1e6 by 1e-6": ([0, 0, 1e6, 1e-6], [7e5, 0, 1e6, 1e-6]),
    "1e-6 by 1e6": ([0, 0, 1e-6, 1e6], [0, 0, 1e-6, 3e5]),
    "near 1e20": ([1e20, 1, 3e20, 2], [2.5e20, 1, 3e20, 2]),
    "3e38 wide": ([-3e38, 0, 0, 1], [-1e38, 0, 0, 1]),
    "subnormal widths": ([0, 0, 1e-40, 1e30], [0.7e-40, 0, 1e-40, 1e30]),
    "negative, near -1e7": ([-1e7, -1e7, -1e7 + 64, -1e7 + 2], [-1e7 + 40, -1e7, -1e7 + 64, -1e7 + 2]),
    "straddling zero, -0.0 edges": ([-5, -0.0, 5, 10], [-0.0, -0.0, 5, 10]),
    "identical (1.0)": ([3, 4, 5, 6], [3, 4, 5, 6]),
    "one part in 2^24 (0.99999994)": ([0, 0, 16777215, 1], [0, 0, 16777216, 1]),
    "tiny inside large (0.001)": ([0, 0, 1000, 1], [0, 0, 1, 1]),
    "large around tiny (0.001)": ([0, 0, 1, 1], [-999, 0, 1, 1]),
    "barely overlapping (1.01e-6)": ([0, 0, 1, 1], [1 - 2e-6, 0, 2 - 2e-6, 1]),
    "barely overlapping (2.4e-7)": ([0, 0, 1, 1], [1 - 4.8e-7, 0, 2 - 4.8e-7, 1]),
}

# Filler width and height relative to 1: the same size as most pairs, far
# smaller (the pair sits on a high level) or far larger (on the lowest one),
# and so small that the pair fits no level at all.
FILLER_SIZES = [1.0, 1e-3, 1e3, 1e-15]


def fillers(size, count=60):
    """`count` disjoint boxes of one size in an 8-wide pattern below the pairs."""
    k = np.arange(count)
    x = 3 * size * (k % 8)
    y = -1e4 * size - 3 * size * (k // 8)
    return np.stack([x, y, x + size, y + size], 1).astype(F32)


def embed(member, query, size, dropped=0):
    """The pair among fillers, member at row 20 and query at row 46, after
    `dropped` copies of the query that only the score filter keeps out. Member (0.5, scale 0) and query (0.25, scale 1) give
    0.5 when grouped and 0.75 when not; fillers score 0, and the copies 1.0
    each at scale 2."""
    rows = list(fillers(size))
    rows.insert(20, np.array(member, F32))
    rows.insert(46, np.array(query, F32))
    rows = [np.array(query, F32)] * dropped + rows
    boxes = np.array(rows, F32)
    n = boxes.shape[0]
    probs = np.full((n, 1), 0.9, F32)
    probs[:dropped] = 0.1
    unc = np.zeros(n, F32)
    scales = np.zeros(n, np.int64)
    unc[dropped + 20], unc[dropped + 46] = 0.5, 0.25
    scales[dropped + 46] = 1
    unc[:dropped], scales[:dropped] = 1.0, 2
    assert n - dropped > 48
    return boxes, probs, unc, scales


@pytest.mark.parametrize("size", FILLER_SIZES)
@pytest.mark.parametrize("name", sorted(PAIRS))
def test_pair_at_its_threshold(name, size):
    member, query = (np.array(b, F32) for b in PAIRS[name])
    sim = pair_similarity(member, query)
    assert 0 < sim <= 1
    arrays = embed(member, query, size)
    above = np.nextafter(sim, F32(INF))
    assert outcomes(float(sim), 0.0, arrays) == (("score", "0x3f000000"),) * 2  # 0.5
    assert outcomes(float(above), 0.0, arrays) == (("score", "0x3f400000"),) * 2  # 0.75


@pytest.mark.parametrize("name", ["query at the far end of a wider member", "3e38 wide"])
def test_pair_at_its_threshold_after_the_score_filter(name):
    # Copies of the query come first: kept, they would take member and query
    # into their object (5.0 with the filter off); the filter drops them, so
    # the rows the pair is searched among shift.
    member, query = (np.array(b, F32) for b in PAIRS[name])
    sim = pair_similarity(member, query)
    arrays = embed(member, query, 1.0, dropped=5)
    assert outcomes(float(sim), 0.5, arrays) == (("score", "0x3f000000"),) * 2
    assert outcomes(float(sim), 0.0, arrays) == (("score", "0x40a00000"),) * 2


# --- seeded pairs at their threshold, with decoys ---------------------------


def tight_pair(rng):
    """Two boxes, one inside or beside the other along a shared edge, with
    an extent ratio anywhere from 0 to 1, of any size, shape and place."""
    w = 10.0 ** rng.uniform(-6, 18)
    h = w * 10.0 ** rng.uniform(-7, 7) if rng.random() < 0.5 else w
    x0 = float(rng.choice([0.0, 1e7, -1e7, 1e20, -3e38])) if rng.random() < 0.4 else rng.normal(0, 10 * w)
    y0 = rng.normal(0, 10 * h)
    r = float(rng.choice([rng.uniform(0, 1), rng.uniform(0.999, 1), rng.uniform(0, 0.01)]))
    big = [x0, y0, x0 + w, y0 + h]
    kind = rng.integers(4)
    if kind == 0:  # at the right edge
        small = [x0 + w * (1 - r), y0, x0 + w, y0 + h]
    elif kind == 1:  # at the left edge
        small = [x0, y0, x0 + w * r, y0 + h]
    elif kind == 2:  # shifted
        small = [x0 + w * (1 - r), y0, x0 + w * (2 - r), y0 + h]
    else:  # nested in both axes, at a corner
        s = math.sqrt(r)
        small = [x0 + w * (1 - s), y0 + h * (1 - s), x0 + w, y0 + h]
    pair = np.array([big, small])[:, [0, 1, 2, 3] if rng.random() < 0.5 else [1, 0, 3, 2]]
    return pair[:: rng.choice([1, -1])].astype(F32)


def tight_case(seed):
    """A pair at or one step beside its similarity as the threshold, jittered
    copies of it as decoys (some before the member, so that a lower object
    competes), and fillers of another size; 49 to 64 detections."""
    rng = np.random.default_rng([21, seed])
    with np.errstate(all="ignore"):
        for _ in range(50):
            pair = tight_pair(rng)
            sim = pair_similarity(pair[0], pair[1])
            if 0 < sim <= 1:
                break
        n = int(rng.integers(49, 65))
        k = int(rng.integers(0, 12))
        width = pair[:, 2:] - pair[:, :2]
        src = rng.integers(2, size=k)
        jitter = rng.normal(size=(k, 4)) * rng.choice([1e-7, 1e-3, 0.1], size=(k, 1))
        decoys = (pair[src] + jitter * np.tile(width[src], 2)).astype(F32)
        size = float(np.max(width)) * 10.0 ** rng.uniform(-5, 1)
        rows = list(decoys) + list(fillers(size, n - 2 - k))
        order = rng.permutation(len(rows))
        rows = [rows[j] for j in order]
    at = sorted(rng.choice(n - 1, size=2, replace=False) + [0, 1])
    rows.insert(at[0], pair[0])
    rows.insert(at[1], pair[1])
    iou = sim if rng.random() < 0.7 else np.nextafter(sim, F32(rng.choice([INF, -INF])))
    boxes = np.array(rows, F32)
    unc = rng.uniform(0.5, 1, n).astype(F32)
    scales = rng.integers(0, 2, n).astype(np.int64)
    return float(iou), (boxes, np.ones((n, 1), F32), unc, scales)


@pytest.mark.parametrize("seed", range(150))
def test_seeded_pairs_at_their_threshold(seed):
    iou, arrays = tight_case(seed)
    module, literal = outcomes(iou, 0.0, arrays)
    assert module == literal


# --- the block search on the worker pool (4096 detections and more) ----------

# Reads the boxes, the threshold and labellings from stdin; prints one score
# per labelling, then one per crowded image (many jittered views of a few
# objects, in random order, so that objects span all blocks).
BLOCK_CHILD = """
import json, sys
import numpy as np
import kiv_rs
boxes, iou, labels = json.loads(sys.stdin.read())
boxes = np.array(boxes, np.float32)
n = boxes.shape[0]
ones = np.ones((n, 1), np.float32)
out = [kiv_rs.KIV(iou, 0.0).run(boxes, ones, np.array(u, np.float32), np.array(s, np.int64))[0]
       for u, s in labels]
for seed in range(4):
    rng = np.random.default_rng([22, seed])
    n = 5000
    seeds = rng.uniform(0, 300, (int(rng.integers(20, 200)), 2))
    at = seeds[rng.integers(len(seeds), size=n)] + rng.normal(0, 2, (n, 2))
    size = rng.uniform(20, 40, (n, 2))
    crowd = np.concatenate([at, at + size], 1).astype(np.float32)
    unc = rng.uniform(0.5, 1, n).astype(np.float32)
    scales = rng.integers(0, 2, n)
    iou = float(rng.choice([0.3, 0.5, 0.7]))
    out.append(kiv_rs.KIV(iou, 0.0).run(crowd, np.ones((n, 1), np.float32), unc, scales)[0])
print(json.dumps(out))
"""

# Rows of the detections that decide, with blocks of 1024 rows: A (row 3)
# and B (row 500) start objects before block 1; C (1100) joins A; D (1200)
# overlaps C and B but not A, so it joins A's object through C, found in its
# own block, although B's object is the one found among earlier blocks.
# E (20) starts an object; F (2100) starts one in block 2; G (2101) overlaps
# E and F and joins E's object, the lower one, found among earlier blocks.
# H (1023) and I (1024) are a pair across the boundary of blocks 0 and 1.
BLOCK_ROWS = {
    3: [0, 0, 10, 10],  # A
    500: [16, 0, 26, 10],  # B
    1100: [5, 0, 15, 10],  # C
    1200: [11, 0, 21, 10],  # D
    20: [1000, 0, 1010, 10],  # E
    2100: [1020, 0, 1030, 10],  # F
    2101: [1004, 0, 1026, 10],  # G
    1023: [2000, 0, 2010, 10],  # H
    1024: [2002, 0, 2012, 10],  # I
}
BLOCK_OBJECTS = [[3, 1100, 1200], [500], [20, 2101], [2100], [1023, 1024]]


def block_input(n=4500):
    """Fillers (each its own object, scoring 0) with the deciding rows, the
    objects the rule makes at threshold 0.2, and two labellings in which
    every deciding row has a scale of its own and a power of two, so that an
    object scores its largest member and any other grouping scores otherwise."""
    boxes = fillers(10.0, n)
    special = sorted(BLOCK_ROWS)
    boxes[special] = [BLOCK_ROWS[r] for r in special]
    objects = sorted([[r] for r in range(n) if r not in BLOCK_ROWS] + BLOCK_OBJECTS)
    labels = []
    for shift in (0, 4):
        unc = np.zeros(n, F32)
        scales = np.zeros(n, np.int64)
        for k, r in enumerate(special):
            unc[r] = 2.0 ** ((k + shift) % len(special))
            scales[r] = k + 1
        labels.append((unc, scales))
    return boxes, objects, labels


def run_child(payload, threads):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    done = subprocess.run(
        [sys.executable, "-c", BLOCK_CHILD],
        input=payload,
        capture_output=True,
        text=True,
        timeout=120,
        env={**env, "RAYON_NUM_THREADS": threads},
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_objects_across_blocks_of_the_pool_search():
    # Objects that decide across stretches of 1024 rows, through the public
    # call with one and with two workers. Whether a call hands stretches to
    # the pool depends on how dear its searches measure, so the stretches
    # themselves are forced in the C++ grouping tests; here both worker
    # counts must give the rule's objects, whichever way each call went.
    boxes, objects, labels = block_input()
    expected = [float(aggregate(objects, unc, scales)) for unc, scales in labels]
    payload = json.dumps([boxes.tolist(), 0.2, [[u.tolist(), s.tolist()] for u, s in labels]])
    one, two = run_child(payload, "1"), run_child(payload, "2")
    assert two[: len(labels)] == expected
    assert one == two
