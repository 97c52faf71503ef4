"""kiv-rank end to end, through the console script."""

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from conftest import expected_ranking, make_images, read_ranking, table_of, with_ties, write_jsonl


def split_interleaved(table):
    """Rows of images 0 and 1 interleaved, and image 2 running from the first
    file into the second."""
    order = list(range(table.num_rows))
    ends = np.cumsum([0, *np.unique(table.column("image").to_numpy(), return_counts=True)[1]])
    a, b = order[ends[0]:ends[1]], order[ends[1]:ends[2]]
    mixed = [row for pair in zip(a, b) for row in pair] + a[len(b):] + b[len(a):]
    order = mixed + order[ends[2]:]
    cut = int(ends[2] + (ends[3] - ends[2]) // 2)
    return table.take(order[:cut]), table.take(order[cut:])


@pytest.mark.parametrize("layout, workers, out", [
    ("two-parquet-files", 2, "ranking.parquet"),
    ("jsonl-integer-keys", 1, "ranking.jsonl"),
    ("parquet-directory", 1, None),
])
def test_ranking_is_the_run_loop(kiv_rank, tmp_path, layout, workers, out):
    keys = [1000 + 7 * i for i in range(30)] if "integer" in layout else None
    table = table_of(with_ties(make_images(seed=len(layout), n_images=30, keys=keys)))
    if layout == "jsonl-integer-keys":
        write_jsonl(table, tmp_path / "pool.jsonl")
        args, reference = ["pool.jsonl"], table
    else:
        first, second = split_interleaved(table)
        folder = tmp_path / "pool"
        (folder / "day=2").mkdir(parents=True)
        # Sorted path order puts day=1 first whatever the order of writing.
        pq.write_table(second, folder / "day=2" / "part-0.parquet", row_group_size=40)
        pq.write_table(first, folder / "day=1.parquet", row_group_size=40)
        args = [folder] if layout == "parquet-directory" else [folder / "day=2" / "part-0.parquet",
                                                                folder / "day=1.parquet"]
        reference = pa.concat_tables([first, second])
    result = kiv_rank(*args, "--workers", workers, *(["--out", out] if out else []))
    assert result.returncode == 0, result.stderr
    if out is None:
        (tmp_path / "stdout.csv").write_text(result.stdout)
        out = "stdout.csv"
    got, rows = read_ranking(tmp_path / out)
    assert got == expected_ranking(reference)
    assert [r["rank"] for r in rows] == list(range(1, 34))
    assert "33 images scored, 0 failed" in result.stderr
    # The boxes are float64: narrowing them is said once, in the summary.
    assert result.stderr.count("x_min, y_min, x_max, y_max") == 1


def failing_pool(tmp_path):
    images = make_images(seed=5, n_images=6)
    key, boxes, probs, unc, scales = images[1]
    probs[0, :2] = np.nan  # NaN among several probabilities
    key, boxes, probs, unc, scales = images[4]
    unc[:] = np.nan
    scales[:2] = [0, 1]  # NaN sums at several scales
    table = table_of(images)
    pq.write_table(table, tmp_path / "pool.parquet")
    return table


def test_failing_images_are_reported_and_ranked_last(kiv_rank, tmp_path):
    table = failing_pool(tmp_path)
    result = kiv_rank("pool.parquet", "--out", "ranking.csv", "--top", "5", "--plot", "scores.png")
    assert result.returncode == 1, result.stderr
    assert "4 images scored, 2 failed" in result.stderr
    got, rows = read_ranking(tmp_path / "ranking.csv")
    # --top 5 of 4 scored and 2 failed: every failed image is kept after the first K.
    assert got == expected_ranking(table)
    assert [r["image"] for r in rows[4:]] == ["img_001.jpg", "img_004.jpg"]
    assert "PanicException" in rows[4]["error"]
    assert (tmp_path / "scores.png").read_bytes()[:4] == b"\x89PNG"

    result = kiv_rank("pool.parquet", "--out", "ranking2.csv", "--fail-fast", "--workers", "1")
    assert result.returncode == 1 and "img_001.jpg" in result.stderr
    assert not (tmp_path / "ranking2.csv").exists()


def bad_pool(tmp_path, fault):
    table = table_of(make_images(seed=3, n_images=4))
    if fault == "missing column":
        table = table.drop_columns(["uncertainty"])
    elif fault == "ragged probabilities":
        probs = table.column("class_probabilities").to_pylist()
        probs[1] = probs[1][:-1]
        table = table.set_column(5, "class_probabilities", pa.array(probs, pa.list_(pa.float32())))
    elif fault == "wrong type":
        table = table.set_column(7, "scale", pa.array([str(v) for v in table.column("scale").to_pylist()]))
    elif fault == "missing value":  # found by the worker that reads the rows
        uncertainty = table.column("uncertainty").to_pylist()
        uncertainty[-1] = None
        table = table.set_column(6, "uncertainty", pa.array(uncertainty, pa.float32()))
    elif fault == "empty input":
        table = table.slice(0, 0)
    path = tmp_path / "pool.parquet"
    if fault == "unreadable file":
        path.write_bytes(b"not parquet at all")
    else:
        pq.write_table(table, path)


@pytest.mark.parametrize("fault, message", [
    ("missing column", "pool.parquet: no column 'uncertainty'"),
    ("ragged probabilities", "pool.parquet: column 'class_probabilities': image 'img_000.jpg'"),
    ("wrong type", "pool.parquet: column 'scale' holds string, not integers"),
    ("missing value", "pool.parquet: column 'uncertainty' has missing values (image 'img_003.jpg' first)"),
    ("empty input", "pool.parquet: the input holds no detections"),
    ("unreadable file", "pool.parquet: cannot read it as Parquet"),
])
def test_bad_input_writes_nothing(kiv_rank, tmp_path, fault, message):
    bad_pool(tmp_path, fault)
    result = kiv_rank("pool.parquet", "--out", "ranking.parquet", "--plot", "scores.png")
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pool.parquet"]


@pytest.mark.parametrize("args, message", [
    (["missing.parquet"], "missing.parquet: no such file or directory"),
    (["pool.parquet", "--out", "ranking.xlsx"], "ranking.xlsx: the output must end in .csv, .parquet, .jsonl"),
    (["pool.parquet", "--box-columns", "a,b,c"], "four comma-separated names"),
    (["pool.parquet", "--workers", "0"], "argument --workers: expected a positive integer, got '0'"),
    (["pool.parquet", "--top", "abc"], "argument --top: expected a positive integer, got 'abc'"),
    *((["pool.parquet", option, value], f"argument {option}: expected a number from 0 to 1, got '{value}'")
      for option in ("--score-threshold", "--iou-threshold") for value in ("nan", "2", "-0.1")),
])
def test_bad_usage(kiv_rank, tmp_path, args, message):
    pq.write_table(table_of(make_images(seed=1, n_images=2)), tmp_path / "pool.parquet")
    result = kiv_rank(*args)
    assert result.returncode == 2 and message in result.stderr, result.stderr
