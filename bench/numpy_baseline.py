"""The image score as a NumPy user would write it without kiv_rs.

Bit-exact with the module: the IoU steps use the same operations in the same
order and the same types (float32 differences and products, float64 ratio,
float32 similarity), comparisons are spelled as the ordered comparisons they
are (np.maximum would treat NaN differently), and every sum is a sequential
float32 accumulation (np.add.at / np.add.accumulate; np.sum is pairwise and
would round differently).

The pairwise stage is computed in blocks of rows so that each float64
temporary stays near 64 MiB; only the N x N boolean overlap matrix is kept.
"""

from __future__ import annotations

import numpy as np

_BLOCK_ELEMENTS = 8 * 1024 * 1024


class InputError(ValueError):
    """An input the module would reject with a failure; never met by the workloads."""


def _areas(boxes: np.ndarray) -> np.ndarray:
    return ((boxes[:, 3] - boxes[:, 1]) * (boxes[:, 2] - boxes[:, 0])).astype(np.float64)


def _overlap_block(a: np.ndarray, area_a: np.ndarray, b: np.ndarray, area_b: np.ndarray,
                   iou_threshold: np.float32) -> np.ndarray:
    """Boolean block: similarity of row box a with column box b >= iou_threshold."""
    a0, a1, a2, a3 = (a[:, k, None] for k in range(4))
    b0, b1, b2, b3 = (b[None, :, k] for k in range(4))
    left = np.where(a0 > b0, a0, b0)
    right = np.where(a2 < b2, a2, b2)
    top = np.where(a1 > b1, a1, b1)
    bottom = np.where(a3 < b3, a3, b3)
    apart = (left > right) | (top > bottom)
    inter = ((bottom - top) * (right - left)).astype(np.float64)
    del left, right, top, bottom
    aa = area_a[:, None]
    ab = area_b[None, :]
    smaller = np.where(aa < ab, aa, ab)
    inter = np.where(inter < smaller, inter, smaller)
    del smaller
    dist = 1.0 - inter / (((ab + aa) - inter) + 1e-16)
    del inter
    dist[apart] = 1.0
    sim = np.float32(1.0) - dist.astype(np.float32)
    return sim >= iou_threshold


def overlap_matrix(boxes: np.ndarray, iou_threshold: np.float32) -> np.ndarray:
    n = boxes.shape[0]
    areas = _areas(boxes)
    adj = np.empty((n, n), dtype=bool)
    block = max(1, _BLOCK_ELEMENTS // max(n, 1))
    for start in range(0, n, block):
        stop = min(n, start + block)
        adj[start:stop] = _overlap_block(boxes[start:stop], areas[start:stop], boxes, areas,
                                         iou_threshold)
    return adj


def group_labels(adj: np.ndarray) -> tuple[np.ndarray, int]:
    """Object number of each detection, objects numbered in creation order.

    Objects are visited in creation order, so the first object holding an
    overlapping earlier member is the smallest object number among them."""
    n = adj.shape[0]
    labels = np.empty(n, dtype=np.int64)
    n_objects = 0
    for i in range(n):
        hits = np.flatnonzero(adj[i, :i])
        if hits.size:
            labels[i] = labels[hits].min()
        else:
            labels[i] = n_objects
            n_objects += 1
    return labels, n_objects


def score(iou_threshold, score_threshold, boxes, probs, unc, scales):
    """Returns (image score as np.float32, number of objects)."""
    iou_t = np.float32(iou_threshold)
    score_t = np.float32(score_threshold)
    boxes = np.array(boxes, dtype=np.float32, order="C")[:, :4]
    unc = np.array(unc, dtype=np.float32)
    scales = np.array(scales, dtype=np.int64)

    if score_t != 0.0:
        if probs.shape[0] and (probs.shape[1] == 0 or
                               (probs.shape[1] > 1 and np.isnan(probs).any())):
            raise InputError("probability row without a maximum")
        confidence = probs.max(axis=1) if probs.shape[0] else np.empty(0, np.float32)
        kept = np.flatnonzero(confidence >= score_t)
        boxes, unc, scales = boxes[kept], unc[kept], scales[kept]
    if scales.shape[0] != unc.shape[0] or boxes.shape[0] > scales.shape[0]:
        raise InputError("array lengths differ")

    labels, n_objects = group_labels(overlap_matrix(boxes, iou_t))

    keys, scale_index = np.unique(scales, return_inverse=True)
    scale_index = scale_index.reshape(-1)
    k = keys.shape[0]
    n = labels.shape[0]
    # One float32 accumulator per (object, scale), fed in detection order, which
    # is the member order within every object.
    sums = np.zeros(n_objects * k, dtype=np.float32)
    np.add.at(sums, labels * k + scale_index[:n], unc[:n])
    sums = sums.reshape(n_objects, k)
    if k > 1 and np.isnan(sums).any():
        raise InputError("NaN per-scale sum")
    object_scores = sums.max(axis=1) if n_objects else np.empty(0, np.float32)
    total = np.add.accumulate(np.concatenate([np.zeros(1, np.float32), object_scores]),
                              dtype=np.float32)[-1]
    return np.float32(total), n_objects
