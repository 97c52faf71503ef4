"""A small pool of detections in the layouts kiv-rank must handle, and the
ranking a plain KIV.run loop gives for it."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import kiv_rs
from servers import dask_cluster, s3_store  # noqa: F401  (session fixtures)

KIV_RANK = str(Path(sys.executable).with_name("kiv-rank"))


def make_images(seed, n_images, keys=None):
    """(key, boxes float64, probs float32, uncertainty float32, scales int64) per image;
    boxes are float64 so that narrowing is exercised. Classes differ between images."""
    rng = np.random.default_rng(seed)
    images = []
    for i in range(n_images):
        n, classes = int(rng.integers(1, 25)), int(rng.choice([3, 5]))
        centres = rng.uniform(0, 200, size=(max(1, n // 4), 2))[rng.integers(0, max(1, n // 4), n)]
        size = rng.uniform(10, 40, size=(n, 1))
        boxes = np.hstack([centres, centres + size]) + rng.normal(0, 2, size=(n, 4))
        probs = rng.dirichlet(np.ones(classes), size=n).astype(np.float32)
        key = keys[i] if keys is not None else f"img_{i:03d}.jpg"
        images.append((key, boxes, probs, rng.uniform(0, 1, n).astype(np.float32),
                       rng.integers(0, 3, n).astype(np.int64)))
    return images


def with_ties(images, copies=(3, 0, 3)):
    """The images plus copies of some of them under new keys: equal scores."""
    integer = isinstance(images[0][0], int)
    return images + [((10**6 + j) if integer else f"copy_{j}",) + images[k][1:] for j, k in enumerate(copies)]


def table_of(images, order=None):
    """One row per detection, images one after another (or rows in `order`)."""
    keys = [key for key, *_, s in images for _ in range(len(s))]
    boxes = np.concatenate([b for _, b, *_ in images])
    table = pa.table({
        "image": keys,
        "x_min": boxes[:, 0], "y_min": boxes[:, 1], "x_max": boxes[:, 2], "y_max": boxes[:, 3],
        "class_probabilities": [row for _, _, p, *_ in images for row in p.tolist()],
        "uncertainty": np.concatenate([u for *_, u, _ in images]),
        "scale": np.concatenate([s for *_, s in images]),
    })
    table = table.cast(table.schema.set(5, pa.field("class_probabilities", pa.list_(pa.float32()))))
    return table if order is None else table.take(order)


def write_jsonl(table, path):
    with open(path, "w") as out:
        for row in table.to_pylist():
            out.write(json.dumps(row) + "\n")


def expected_ranking(table, iou=0.5, score=0.05):
    """(key, score as float32 bits or None, detections, error or None) in ranked order,
    from KIV.run on each image's rows in table order."""
    keys = table.column("image").to_pylist()
    rows = {}
    for i, key in enumerate(keys):
        rows.setdefault(key, []).append(i)
    scorer = kiv_rs.KIV(iou, score)
    ranked = []
    for appearance, (key, idx) in enumerate(rows.items()):
        part = table.take(idx)
        boxes = np.stack([part.column(c).to_numpy().astype(np.float32)
                          for c in ("x_min", "y_min", "x_max", "y_max")], axis=1)
        probs = np.array(part.column("class_probabilities").to_pylist(), dtype=np.float32)
        try:
            value = np.float32(scorer.run(boxes, probs, part.column("uncertainty").to_numpy().astype(np.float32),
                                          part.column("scale").to_numpy().astype(np.int64))[0])
            ranked.append(((0, -value, appearance), key, value, len(idx)))
        except BaseException:  # the extension's failures derive from BaseException
            ranked.append(((1, 0, appearance), key, None, len(idx)))
    ranked.sort(key=lambda r: r[0])
    return [(key, None if v is None else int(np.float32(v).view(np.uint32)), n) for _, key, v, n in ranked]


def read_ranking(path):
    """The ranking file read back with the reader a user would pick, scores as float32 bits."""
    if path.suffix == ".parquet":
        rows = pq.read_table(path).to_pylist()
    elif path.suffix == ".jsonl":
        rows = [json.loads(line) for line in path.read_text().splitlines()]
    else:
        import pandas

        rows = pandas.read_csv(path).to_dict("records")
    return [(r["image"], None if r["score"] is None or r["score"] != r["score"] else
             int(np.float32(r["score"]).view(np.uint32)), r["detections"]) for r in rows], rows


@pytest.fixture
def kiv_rank(tmp_path):
    """Runs the console script; returns the CompletedProcess."""

    def run(*args, timeout=120, env=None):
        return subprocess.run([KIV_RANK, *map(str, args)], capture_output=True, text=True,
                              timeout=timeout, cwd=tmp_path, env={**os.environ, "COLUMNS": "200", **(env or {})})

    return run
