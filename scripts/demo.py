"""Ranks the demo images by how uncertain the detector is about them.

Reads data/demo_detections.npz (written by scripts/make_demo_data.py),
scores every image with one KIV scorer and prints the images most
uncertain first, the order in which an annotator would want to see them.
"""

from pathlib import Path

import numpy as np

import kiv_rs

DATA = Path(__file__).resolve().parent.parent / "data" / "demo_detections.npz"
IOU_THRESHOLD = 0.5
SCORE_THRESHOLD = 0.05


def images(data):
    """(name, boxes, probs, unc, scales) per image, in file order."""
    ends = np.cumsum(data["counts"])
    starts = ends - data["counts"]
    for name, start, end in zip(data["names"], starts, ends):
        rows = slice(int(start), int(end))
        yield (str(name), data["boxes"][rows], data["probs"][rows], data["unc"][rows],
               data["scales"][rows])


def main():
    scorer = kiv_rs.KIV(IOU_THRESHOLD, SCORE_THRESHOLD)
    with np.load(DATA) as data:
        results = []
        for name, boxes, probs, unc, scales in images(data):
            score, _ = scorer.run(boxes, probs, unc, scales)
            results.append((score, name, boxes.shape[0]))
    results.sort(key=lambda r: r[0], reverse=True)

    print(f"KIV(iou_threshold={IOU_THRESHOLD}, score_threshold={SCORE_THRESHOLD}) "
          f"on {len(results)} images from {DATA.name}\n")
    width = max(len("image"), *(len(name) for _, name, _ in results))
    print(f"{'rank':>4}  {'image':<{width}}  {'detections':>10}  {'score':>12}")
    for rank, (score, name, count) in enumerate(results, start=1):
        print(f"{rank:>4}  {name:<{width}}  {count:>10}  {score:>12.6f}")


if __name__ == "__main__":
    main()
