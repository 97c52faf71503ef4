"""Work spread over worker processes: images that lie across tasks and files,
and the same outcome whatever the number of workers."""

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import kiv_rank
from conftest import expected_ranking, make_images, table_of, with_ties
from kiv_rank import reading, splitting
from test_api import bits


@pytest.fixture
def small_tasks(monkeypatch):
    """Tasks of a row group or two, so that images lie across tasks."""
    for module in (reading, splitting):
        monkeypatch.setattr(module, "PART_ROWS", 30)


def write_pool(tmp_path, table):
    """The rows in three files of 17-row groups, cut mid-image, and an empty file
    after the last task closes."""
    cuts = [0, 170, table.num_rows - 170, table.num_rows]
    for i in range(3):
        pq.write_table(table.slice(cuts[i], cuts[i + 1] - cuts[i]), tmp_path / f"part-{i}.parquet",
                       row_group_size=17)
    pq.write_table(table.slice(0, 0), tmp_path / "part-3.parquet")


@pytest.mark.parametrize("layout", ["contiguous", "interleaved", "shuffled"])
def test_any_number_of_workers_ranks_as_the_run_loop(tmp_path, small_tasks, layout):
    table = table_of(with_ties(make_images(seed=21, n_images=40)))
    n = table.num_rows
    if layout == "interleaved":  # the first and second half of the rows alternate
        table = table.take(np.ravel(np.column_stack([np.arange(n // 2), np.arange(n // 2, n // 2 * 2)])))
    elif layout == "shuffled":
        table = table.take(np.random.default_rng(4).permutation(n))
    write_pool(tmp_path, table)
    expected = expected_ranking(table)
    for workers in (1, 2, 3):
        assert bits(kiv_rank.rank_files([tmp_path], workers=workers).table) == expected, workers


def with_faults(table, faults):
    keys = table.column("image").to_pylist()
    probs = table.column("class_probabilities").to_pylist()
    uncertainty = table.column("uncertainty").to_pylist()
    for fault, row in faults:
        if fault == "ragged":  # a class fewer from this row to the image's end
            for r in range(row, len(keys)):
                if keys[r] != keys[row]:
                    break
                probs[r] = probs[r][:-1]
        elif fault == "nan":
            probs[row][:2] = [float("nan")] * 2
        else:
            uncertainty[row] = None
    return table.set_column(5, "class_probabilities", pa.array(probs, pa.list_(pa.float32()))).set_column(
        6, "uncertainty", pa.array(uncertainty, pa.float32()))


@pytest.mark.parametrize("faults, fail_fast, raised, message", [
    # Image 3 lies in the first two tasks: its pieces are put together in the main process.
    ([("missing", 300), ("ragged", 34)], False, kiv_rank.InputError,
     "part-0.parquet: column 'class_probabilities': image 'img_003.jpg' has rows"),
    ([("ragged", 300), ("missing", 40)], False, kiv_rank.InputError,
     "part-0.parquet: column 'uncertainty' has missing values"),
    ([("nan", 300), ("nan", 120), ("nan", 33)], True, kiv_rank.ImageFailed, "image 'img_003.jpg' failed"),
])
def test_the_first_stop_in_input_order_is_raised(tmp_path, small_tasks, faults, fail_fast, raised, message):
    write_pool(tmp_path, with_faults(table_of(make_images(seed=21, n_images=40)), faults))
    for workers in (1, 2, 3):
        with pytest.raises(raised, match=message):
            kiv_rank.rank_files([tmp_path], workers=workers, fail_fast=fail_fast)
