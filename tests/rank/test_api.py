"""The Python API notebooks use: tables, data frames and per-image arrays."""

import numpy as np
import pyarrow as pa
import pytest

import kiv_rank
from conftest import expected_ranking, make_images, read_ranking, table_of


def bits(table):
    return [(key, None if s is None else int(np.float32(s).view(np.uint32)), n)
            for key, s, n in zip(*(table.column(c).to_pylist() for c in ("image", "score", "detections")))]


def test_table_frame_and_arrays_rank_alike():
    images = make_images(seed=11, n_images=12)
    table = table_of(images, order=np.random.default_rng(0).permutation(sum(len(s) for *_, s in images)))
    expected = expected_ranking(table)
    assert bits(kiv_rank.rank_table(table, workers=2).table) == expected
    assert bits(kiv_rank.rank_table(table.to_pandas(), workers=1).table) == expected
    ranking = kiv_rank.rank_images(images, workers=1)
    assert bits(ranking.table) == expected_ranking(table_of(images)) and ranking.rounded == ("boxes",)


@pytest.mark.parametrize("images, message", [
    ([("a", np.zeros((2, 3)), np.zeros((2, 2)), np.zeros(2), np.zeros(2, np.int64))], "do not make N detections"),
    ([("a", np.zeros((1, 4)), np.zeros((1, 2)), np.zeros(1), np.zeros(1))], "scales hold float64"),
    ([("a",) + make_images(1, 1)[0][1:]] * 2, "image 'a' is given twice"),
])
def test_rank_images_rejects_what_is_not_an_image(images, message):
    with pytest.raises(kiv_rank.InputError, match=message):
        kiv_rank.rank_images(images, workers=1)


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".jsonl"])
def test_scores_read_back_to_the_same_float32(tmp_path, suffix):
    bits = np.random.default_rng(2).integers(0, 2**32, 2000, dtype=np.uint64).astype(np.uint32)
    scores = bits.view(np.float32)
    scores = np.concatenate([scores[np.isfinite(scores)], np.float32([1e-45, 3.4028235e38, 0.1, 16777217])])
    n = len(scores)
    table = pa.table({"rank": np.arange(1, n + 1), "image": [f"i{k}" for k in range(n)], "score": scores,
                      "detections": np.ones(n, np.int64), "error": pa.nulls(n, pa.string())})
    kiv_rank.write_ranking(table, tmp_path / f"ranking{suffix}")
    got, _ = read_ranking(tmp_path / f"ranking{suffix}")
    assert [b for _, b, _ in got] == scores.view(np.uint32).tolist()


@pytest.mark.parametrize("thresholds", [{"score_threshold": float("nan")}, {"iou_threshold": float("nan")},
                                        {"score_threshold": 2.0}, {"iou_threshold": -0.5}])
def test_thresholds_that_cannot_be_meant_are_refused(thresholds):
    with pytest.raises(kiv_rank.InputError, match="must be a number from 0 to 1"):
        kiv_rank.rank_table(table_of(make_images(seed=12, n_images=2)), workers=1, **thresholds)


def test_frame_fails_only_the_image_with_a_nan():
    images = make_images(seed=13, n_images=4)
    images[2][3][0] = np.nan
    images[2][4][:2] = [0, 1]  # a NaN sum among several scales fails the image
    frame = table_of(images).to_pandas()
    frame["note"] = [object()] * len(frame)  # a column the ranking does not read
    ranking = kiv_rank.rank_table(frame, workers=1)
    assert (ranking.scored, ranking.failed) == (3, 1)
    assert bits(ranking.table) == expected_ranking(table_of(images))
