"""A plain Python/NumPy restatement of how kiv_rs scores one image.

Written to be read next to the engine: one function per engine stage, in the
order `run` calls them, each floating-point step spelled out with the type it
rounds in. Every arithmetic value is a NumPy float32 or float64 (scalar or
array), never a Python float, so each operation rounds exactly once in the
type the engine uses. It is slow (quadratic in Python) and meant for inputs of
at most a few hundred detections; `reference_score_fast` swaps in a
whole-matrix version of the pairwise stage and the grouping for larger ones.

Internal failures of the module are raised here as ReferenceFailure with the
very message the module gives.
"""

import numpy as np

F32 = np.float32
F64 = np.float64

# Largest signed machine word on the 64-bit targets.
ISIZE_MAX = 2**63 - 1

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
BOX_INDEX = "assertion failed: index < dim"
INDEX_OUT_OF_BOUNDS = "ndarray: index out of bounds"
SHAPE_TOO_LARGE = "ndarray: Shape too large, product of non-zero axis lengths overflows isize"
CAPACITY_OVERFLOW = "capacity overflow"


class ReferenceFailure(Exception):
    """An internal failure of the module, carrying its exact message."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


def index_message(index, length):
    return f"ndarray: index {index} is out of bounds in array of len {length}"


def length_message(left, right):
    return f"assertion `left == right` failed\n  left: {left}\n right: {right}"


# --- score filter ----------------------------------------------------------


def row_max(row):
    """Largest value of one row; of equal values the later wins; NaN fails."""
    if len(row) == 0:
        raise ReferenceFailure(UNWRAP_NONE)
    m = row[0]
    for x in row[1:]:
        if x >= m:
            m = x
        elif m >= x:
            pass
        else:
            raise ReferenceFailure(UNWRAP_NONE)
    return m


def select_box_rows(boxes, kept):
    for i in kept:
        if i >= boxes.shape[0]:
            raise ReferenceFailure(BOX_INDEX)
    return boxes[np.asarray(kept, dtype=np.intp)].reshape(len(kept), boxes.shape[1])


def select_values(values, kept):
    # Only the largest index is checked, before anything is gathered.
    if kept and max(kept) >= values.shape[0]:
        raise ReferenceFailure(index_message(max(kept), values.shape[0]))
    return values[np.asarray(kept, dtype=np.intp)]


def filter_by_score(score_threshold, boxes, probs, unc, scales):
    """Effective (boxes, uncertainties, scales); the owned copies when off."""
    if score_threshold == F32(0.0):  # +0.0 and -0.0 both switch it off
        return boxes, unc, scales
    confidences = [row_max(probs[i]) for i in range(probs.shape[0])]
    kept = [i for i, c in enumerate(confidences) if c >= score_threshold]
    eff_boxes = select_box_rows(boxes, kept)
    eff_unc = select_values(unc, kept)
    eff_scales = select_values(scales, kept)
    return eff_boxes, eff_unc, eff_scales


# --- pairwise overlap and grouping -----------------------------------------


def box_areas(boxes):
    """float32 (c3 - c1) * (c2 - c0), widened to float64."""
    if boxes.shape[0] >= 1 and boxes.shape[1] < 4:
        raise ReferenceFailure(INDEX_OUT_OF_BOUNDS)
    if boxes.shape[0] == 0:
        return np.empty(0, dtype=F64)
    height = boxes[:, 3] - boxes[:, 1]
    width = boxes[:, 2] - boxes[:, 0]
    return (height * width).astype(F64)


def check_matrix_size(rows, cols):
    if rows * cols > ISIZE_MAX:
        raise ReferenceFailure(SHAPE_TOO_LARGE)
    if 8 * rows * cols > ISIZE_MAX:
        raise ReferenceFailure(CAPACITY_OVERFLOW)


def distance_row(a, boxes_a, area_a, boxes_b, area_b):
    """Row a of the distance matrix: box a of the first operand against every
    box b of the second, one array operation per step. Comparisons are the
    ordered ones (false with NaN), so `where(x > y, x, y)` is not max()."""
    ac0, ac1, ac2, ac3 = (boxes_a[a, k] for k in range(4))
    bc0, bc1, bc2, bc3 = (boxes_b[:, k] for k in range(4))
    aa = area_a[a]
    left = np.where(ac0 > bc0, ac0, bc0)  # float32
    right = np.where(ac2 < bc2, ac2, bc2)
    top = np.where(ac1 > bc1, ac1, bc1)
    bottom = np.where(ac3 < bc3, ac3, bc3)
    height = bottom - top  # float32
    width = right - left  # float32
    intersection = (height * width).astype(F64)
    smaller = np.where(aa < area_b, aa, area_b)
    intersection = np.where(intersection < smaller, intersection, smaller)
    union = (area_b + aa) - intersection  # float64 from here on
    distance = F64(1.0) - intersection / (union + F64(1e-16))
    # Steps 3 and 6 stop early with 1.0; computing the rest anyway and
    # picking afterwards gives the same entries.
    distance = np.where(top > bottom, F64(1.0), distance)
    distance = np.where(left > right, F64(1.0), distance)
    return distance


def pairwise_distance(boxes_a, boxes_b):
    area_a = box_areas(boxes_a)
    area_b = box_areas(boxes_b)
    check_matrix_size(boxes_a.shape[0], boxes_b.shape[0])
    matrix = np.zeros((boxes_a.shape[0], boxes_b.shape[0]), dtype=F64)
    for a in range(boxes_a.shape[0]):
        matrix[a] = distance_row(a, boxes_a, area_a, boxes_b, area_b)
    return matrix


def similarity(distance):
    """1.0 - single(distance), the subtraction in float32."""
    return F32(1.0) - distance.astype(F32)


def group_detections(sim, iou_threshold):
    """Each detection joins the first object (in creation order) holding a
    member (in member order) whose flag is set; else it starts an object."""
    objects = []
    for i in range(sim.shape[0]):
        flags = sim[i] >= iou_threshold
        home = None
        for obj in objects:
            for m in obj:
                if flags[m]:
                    home = obj
                    break
            if home is not None:
                break
        if home is None:
            objects.append([i])
        else:
            home.append(i)
    return objects


# --- scale buckets, object scores, image score -----------------------------


def check_lengths(scales, unc):
    if scales.shape[0] != unc.shape[0]:
        raise ReferenceFailure(length_message(scales.shape[0], unc.shape[0]))


def build_scale_table(scales):
    table = {}
    for s in scales:
        table.setdefault(int(s), [])
    return table


def bucket_objects(objects, scales, unc, table):
    result = []
    for obj in objects:
        buckets = {key: [] for key in table}
        for d in obj:
            if d >= scales.shape[0]:
                raise ReferenceFailure(INDEX_OUT_OF_BOUNDS)
            key = int(scales[d])
            if d >= unc.shape[0]:
                raise ReferenceFailure(INDEX_OUT_OF_BOUNDS)
            buckets[key].append(unc[d])
        result.append(list(buckets.values()))
    return result


def sequential_sum(values):
    acc = F32(0.0)
    for v in values:
        acc = F32(acc + v)
    return acc


def sum_buckets(object_buckets):
    return [[sequential_sum(bucket) for bucket in buckets] for buckets in object_buckets]


def max_per_object(object_sums):
    scores = []
    for sums in object_sums:
        if not sums:
            raise ReferenceFailure(UNWRAP_NONE)
        m = sums[0]
        for s in sums[1:]:
            if s >= m:
                m = s
            elif m >= s:
                pass
            else:
                raise ReferenceFailure(UNWRAP_NONE)
        scores.append(m)
    return scores


def image_score(object_scores):
    return sequential_sum(object_scores)


# --- the whole call ---------------------------------------------------------


def owned_copies(boxes, probs, unc, scales):
    """Copies with the caller's element types checked, as `run` accepts them."""
    wanted = ((boxes, F32, 2), (probs, F32, 2), (unc, F32, 1), (scales, np.int64, 1))
    copies = []
    for array, dtype, ndim in wanted:
        assert isinstance(array, np.ndarray) and array.dtype == dtype and array.ndim == ndim
        copies.append(np.array(array, copy=True))
    return copies


def aggregate(objects, eff_unc, eff_scales):
    check_lengths(eff_scales, eff_unc)
    table = build_scale_table(eff_scales)
    object_buckets = bucket_objects(objects, eff_scales, eff_unc, table)
    return image_score(max_per_object(sum_buckets(object_buckets)))


def reference_score(iou_threshold, score_threshold, boxes, probs, unc, scales):
    """The float32 image score `KIV(iou, score).run(...)` must return, or
    ReferenceFailure with the message of its PanicException."""
    iou_threshold = F32(float(iou_threshold))
    score_threshold = F32(float(score_threshold))
    with np.errstate(all="ignore"):
        boxes, probs, unc, scales = owned_copies(boxes, probs, unc, scales)
        eff_boxes, eff_unc, eff_scales = filter_by_score(score_threshold, boxes, probs, unc, scales)
        sim = similarity(pairwise_distance(eff_boxes, eff_boxes))
        objects = group_detections(sim, iou_threshold)
        return aggregate(objects, eff_unc, eff_scales)


# --- whole-array variant for thousands of detections ------------------------


def row_max_fast(probs):
    """Confidences of all rows at once. Only their comparison with the
    threshold is used later, so the sign of a zero maximum does not matter."""
    if probs.shape[0] == 0:
        return np.empty(0, dtype=F32)
    if probs.shape[1] == 0:
        raise ReferenceFailure(UNWRAP_NONE)
    nan_rows = np.isnan(probs).any(axis=1)
    if probs.shape[1] >= 2 and nan_rows.any():
        raise ReferenceFailure(UNWRAP_NONE)
    return probs.max(axis=1)


def filter_by_score_fast(score_threshold, boxes, probs, unc, scales):
    if score_threshold == F32(0.0):
        return boxes, unc, scales
    confidences = row_max_fast(probs)
    kept = np.flatnonzero(confidences >= score_threshold).tolist()
    return (
        select_box_rows(boxes, kept),
        select_values(unc, kept),
        select_values(scales, kept),
    )


def similarity_matrix_fast(boxes, block=512):
    """The whole similarity matrix, blocks of rows at a time, with the same
    operations in the same order as distance_row."""
    areas = box_areas(boxes)
    n = boxes.shape[0]
    check_matrix_size(n, n)
    sim = np.empty((n, n), dtype=F32)
    if n == 0:
        return sim
    bc0, bc1, bc2, bc3 = (boxes[:, k][None, :] for k in range(4))
    for start in range(0, n, block):
        rows = slice(start, min(n, start + block))
        ac0, ac1, ac2, ac3 = (boxes[rows, k][:, None] for k in range(4))
        aa = areas[rows][:, None]
        ab = areas[None, :]
        left = np.where(ac0 > bc0, ac0, bc0)
        right = np.where(ac2 < bc2, ac2, bc2)
        top = np.where(ac1 > bc1, ac1, bc1)
        bottom = np.where(ac3 < bc3, ac3, bc3)
        intersection = ((bottom - top) * (right - left)).astype(F64)
        smaller = np.where(aa < ab, aa, ab)
        intersection = np.where(intersection < smaller, intersection, smaller)
        distance = F64(1.0) - intersection / (((ab + aa) - intersection) + F64(1e-16))
        distance = np.where(top > bottom, F64(1.0), distance)
        distance = np.where(left > right, F64(1.0), distance)
        sim[rows] = F32(1.0) - distance.astype(F32)
    return sim


def group_detections_fast(sim, iou_threshold):
    """The first-match walk, found as the oldest object among the flagged
    earlier detections: objects are visited in creation order and any
    flagged member of an object sends the detection there."""
    n = sim.shape[0]
    object_of = np.empty(n, dtype=np.intp)
    objects = []
    for i in range(n):
        flagged = object_of[:i][sim[i, :i] >= iou_threshold]
        if flagged.size:
            home = int(flagged.min())
            objects[home].append(i)
        else:
            home = len(objects)
            objects.append([i])
        object_of[i] = home
    return objects


def reference_score_fast(iou_threshold, score_threshold, boxes, probs, unc, scales):
    iou_threshold = F32(float(iou_threshold))
    score_threshold = F32(float(score_threshold))
    with np.errstate(all="ignore"):
        boxes, probs, unc, scales = owned_copies(boxes, probs, unc, scales)
        eff_boxes, eff_unc, eff_scales = filter_by_score_fast(
            score_threshold, boxes, probs, unc, scales
        )
        objects = group_detections_fast(similarity_matrix_fast(eff_boxes), iou_threshold)
        return aggregate(objects, eff_unc, eff_scales)


# --- comparing outcomes -----------------------------------------------------


def float32_bits(value):
    """The bit pattern of a float32 value (a Python float holding one is
    converted exactly). NaNs compare equal whatever their sign and payload:
    which NaN an invalid operation yields is the processor's choice, not
    part of the result."""
    value = F32(value)
    if np.isnan(value):
        return "nan"
    return f"{int(value.view(np.uint32)):#010x}"


def outcome(call):
    """('score', bits) of a call that returns a float32 score, or
    ('failure', message) when it raises the module's PanicException or a
    ReferenceFailure. Anything else propagates."""
    try:
        score = call()
    except ReferenceFailure as failure:
        return ("failure", failure.message)
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        return ("failure", str(error))
    return ("score", float32_bits(score))
