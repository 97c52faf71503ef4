"""Writes data/demo_detections.npz: detector output for a handful of images.

Run once; the file is committed, so `make demo` never needs this script.
Each image is 1333 x 800 pixels. Every object in it is seen several times,
at scales 0, 1 and 2, with boxes jittered around the true one; some clutter
is scattered on top. Box corners are in eighths of a pixel. Class
probabilities are an 80-way softmax kept at multiples of 2**-10, so that
the file compresses to under half a megabyte.

File layout (all rows of all images concatenated, image after image):
  names   (I,)    str      image names
  counts  (I,)    int64    detections per image
  boxes   (M, 4)  float32  x_min, y_min, x_max, y_max
  probs   (M, 80) float32  class probabilities
  unc     (M,)    float32  uncertainty in [0, 1]
  scales  (M,)    int64    scale the detection came from
"""

from pathlib import Path

import numpy as np

WIDTH, HEIGHT = 1333.0, 800.0
CLASSES = 80
SEED = 20240607
OUT = Path(__file__).resolve().parent.parent / "data" / "demo_detections.npz"

# name, objects, clutter, how sure the detector is about this image (0..1)
IMAGES = [
    ("street_0001.jpg", 6, 10, 0.85),
    ("kitchen_0042.jpg", 18, 40, 0.55),
    ("harbour_0007.jpg", 40, 60, 0.70),
    ("market_0113.jpg", 100, 120, 0.35),
    ("parking_0025.jpg", 140, 90, 0.80),
    ("crowd_0309.jpg", 300, 220, 0.30),
    ("foggy_road_0051.jpg", 25, 150, 0.15),
    ("livestock_0018.jpg", 90, 30, 0.60),
]


def softmax(logits):
    logits = logits - logits.max(axis=1, keepdims=True)
    p = np.exp(logits)
    p /= p.sum(axis=1, keepdims=True)
    return (np.round(p * 2**10) / 2**10).astype(np.float32)


def clip_boxes(boxes):
    boxes = np.round(boxes * 8) / 8  # eighths of a pixel, as the detector reports them
    boxes[:, [0, 2]] = np.clip(boxes[:, [0, 2]], 0, WIDTH)
    boxes[:, [1, 3]] = np.clip(boxes[:, [1, 3]], 0, HEIGHT)
    return boxes


def image_detections(rng, n_objects, n_clutter, sureness):
    boxes, probs, unc, scales = [], [], [], []
    for _ in range(n_objects):
        w, h = np.exp(rng.uniform(np.log(14), np.log(500), size=2))
        cx, cy = rng.uniform(w / 3, WIDTH - w / 3), rng.uniform(h / 3, HEIGHT - h / 3)
        label = rng.integers(CLASSES)
        # Small objects are harder: less peaked probabilities, more doubt.
        ease = sureness * np.clip(np.log(w * h) / np.log(500 * 500), 0.2, 1.0)
        for scale in range(3):
            k = rng.integers(1, 5) if rng.random() < 0.85 else 0
            jitter = rng.normal(scale=0.04 + 0.08 * (1 - ease), size=(k, 4)) * [w, h, w, h]
            boxes.append(np.array([cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2]) + jitter)
            logits = rng.normal(size=(k, CLASSES))
            logits[:, label] += rng.normal(2.0 + 7.0 * ease, 1.0, size=k)
            probs.append(softmax(logits))
            unc.append(np.clip(rng.beta(2.0, 2.0 + 8.0 * ease, size=k), 0.0, 1.0))
            scales.append(np.full(k, scale))
    for _ in range(n_clutter):
        w, h = rng.uniform(6, 160, size=2)
        x, y = rng.uniform(0, WIDTH - w), rng.uniform(0, HEIGHT - h)
        boxes.append(np.array([[x, y, x + w, y + h]]))
        probs.append(softmax(rng.normal(scale=rng.uniform(0.2, 1.6), size=(1, CLASSES))))
        unc.append(rng.beta(5.0, 2.0, size=1))
        scales.append(rng.integers(0, 3, size=1))
    order = rng.permutation(sum(len(u) for u in unc))
    return (
        clip_boxes(np.concatenate(boxes))[order].astype(np.float32),
        np.concatenate(probs)[order],
        np.concatenate(unc)[order].astype(np.float32),
        np.concatenate(scales)[order].astype(np.int64),
    )


def main():
    rng = np.random.default_rng(SEED)
    parts = [image_detections(rng, *spec[1:]) for spec in IMAGES]
    np.savez_compressed(
        OUT,
        names=np.array([spec[0] for spec in IMAGES]),
        counts=np.array([p[0].shape[0] for p in parts], dtype=np.int64),
        boxes=np.concatenate([p[0] for p in parts]),
        probs=np.concatenate([p[1] for p in parts]),
        unc=np.concatenate([p[2] for p in parts]),
        scales=np.concatenate([p[3] for p in parts]),
    )
    counts = [p[0].shape[0] for p in parts]
    print(f"wrote {OUT} ({OUT.stat().st_size} bytes): {len(parts)} images, "
          f"{sum(counts)} detections ({min(counts)} to {max(counts)} per image)")


if __name__ == "__main__":
    main()
