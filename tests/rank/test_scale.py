"""Layouts where the key pass, run in the workers and merged in the main
process, could number or split images wrongly."""

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import kiv_rank
from conftest import expected_ranking, make_images, table_of
from kiv_rank import reading, splitting, surveying
from test_api import bits


@pytest.fixture
def small_tasks(monkeypatch):
    """Tasks of about 30 rows, and every file opened by a worker."""
    for module in (reading, splitting):
        monkeypatch.setattr(module, "PART_ROWS", 30)
    monkeypatch.setattr(surveying, "FILES_OPENED_HERE", 0)


def tiny_images(n_images):
    """One or two detections each: thousands of images in one task."""
    rng = np.random.default_rng(n_images)
    images = []
    for i in range(n_images):
        n = int(rng.integers(1, 3))
        corner = rng.uniform(0, 100, (n, 2))
        images.append((f"t{i}", np.hstack([corner, corner + 20]), rng.dirichlet(np.ones(3), n).astype(np.float32),
                       rng.uniform(0, 1, n).astype(np.float32), rng.integers(0, 3, n)))
    return images


def reordered(table, layout):
    n = table.num_rows
    keys = np.array(table.column("image").to_pylist())
    first = keys == keys[0]
    if layout == "first-and-last-task":  # image 0's rows split between the first and the last task
        half = int(first.sum()) // 2
        rows = np.flatnonzero(first)
        return table.take(np.concatenate([rows[:half], np.flatnonzero(~first), rows[half:]]))
    if layout == "long-image-middle":  # one image of 100 rows: some task holds only its middle
        long = pa.concat_tables([table.filter(pa.array(first))] * 10).slice(0, 100)
        return pa.concat_tables([table.slice(0, 20), long.set_column(0, "image", pa.array(["long"] * 100)),
                                 table.slice(20)])
    if layout == "every-image-scattered":  # rows dealt round robin: each image in several tasks
        _, codes = np.unique(keys, return_inverse=True)
        rank = np.zeros(n, np.int64)
        for code in np.unique(codes):
            rank[codes == code] = np.arange(int((codes == code).sum()))
        return table.take(np.lexsort((codes, rank)))
    return table


@pytest.mark.parametrize("layout", ["first-and-last-task", "long-image-middle", "every-image-scattered"])
def test_images_across_tasks_rank_as_the_run_loop(tmp_path, small_tasks, layout):
    table = reordered(table_of(make_images(seed=8, n_images=25)), layout)
    cut = table.num_rows // 3
    for i, (start, end) in enumerate([(0, cut), (cut, 2 * cut), (2 * cut, table.num_rows)]):
        pq.write_table(table.slice(start, end - start), tmp_path / f"part-{i}.parquet", row_group_size=13)
    assert bits(kiv_rank.rank_files([tmp_path], workers=2).table) == expected_ranking(table)


def test_thousands_of_tiny_images_in_one_task():
    table = table_of(tiny_images(3000))
    assert bits(kiv_rank.rank_table(table, workers=2).table) == expected_ranking(table)


def test_equal_keys_from_other_dictionaries_and_integer_widths_are_one_image(tmp_path, small_tasks):
    table = table_of(make_images(seed=3, n_images=8))
    # Row groups of 7 rows: each its own dictionary, and images across them.
    keys = pa.array(table.column("image").to_pylist()).dictionary_encode()
    pq.write_table(table.set_column(0, "image", keys), tmp_path / "a.parquet", row_group_size=7)
    got = kiv_rank.rank_files([tmp_path / "a.parquet"], workers=2).table
    assert bits(got) == expected_ranking(table)
    # The same value in two dictionaries of one table, one of them holding it twice.
    three_classes = table_of(tiny_images(20))
    n = three_classes.num_rows
    chunks = [pa.DictionaryArray.from_arrays(pa.array(np.zeros(n // 2, np.int32)), pa.array(["x", "y"])),
              pa.DictionaryArray.from_arrays(pa.array(np.arange(n - n // 2, dtype=np.int32) % 2 * 2),
                                             pa.array(["y", "x", "x"]))]
    one = three_classes.set_column(0, "image", pa.chunked_array(chunks))
    expected = expected_ranking(one.cast(three_classes.schema))
    assert bits(kiv_rank.rank_table(one, workers=2).table) == expected and len(expected) == 2
    # int32 keys in one file, int64 or uint64 (beyond int64) in the next, an image across both.
    for last, big in ((pa.int64(), 5), (pa.uint64(), 2**63 + 5)):
        integers = table_of(make_images(seed=4, n_images=6, keys=list(range(6))))
        keys = [big if key == 5 else key for key in integers.column("image").to_pylist()]
        integers = integers.set_column(0, "image", pa.array(keys, pa.uint64()))
        cut = integers.num_rows // 2 + 1
        for name, kind, part in (("b", pa.int32(), integers.slice(0, cut)), ("c", last, integers.slice(cut))):
            pq.write_table(part.set_column(0, "image", part.column("image").cast(kind)), tmp_path / f"{name}.parquet")
        got = kiv_rank.rank_files([tmp_path / "b.parquet", tmp_path / "c.parquet"], workers=2).table
        assert bits(got) == expected_ranking(integers) and got.column("image").type == last


def test_the_first_failing_file_in_input_order_is_reported(tmp_path, small_tasks):
    table = table_of(make_images(seed=5, n_images=12))
    for i in range(6):
        part = table.slice(i * 20, 20)
        if i == 2:
            part = part.drop_columns(["scale"])
        if i == 4:
            part = part.set_column(0, "image", pa.array([None] * part.num_rows, pa.string()))
        pq.write_table(part, tmp_path / f"part-{i}.parquet")
    for workers in (1, 2):
        with pytest.raises(kiv_rank.InputError, match="part-2.parquet: no column 'scale'"):
            kiv_rank.rank_files([tmp_path], workers=workers)
