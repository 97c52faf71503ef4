"""--dask on a scheduler and two workers started as processes of their own,
against the local ranking, byte for byte."""

import os
import signal
import subprocess
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from conftest import make_images, table_of, with_ties, write_jsonl
from test_cli import failing_pool, split_interleaved


def write_pool(tmp_path, layout):
    if layout == "failing-nan-inf":
        table = failing_pool(tmp_path)
        boxes = table.column("x_max").to_numpy().copy()
        boxes[-1] = np.inf
        pq.write_table(table.set_column(3, "x_max", pa.array(boxes)), tmp_path / "pool.parquet")
        return
    keys = [10**12 + 3 * i for i in range(40)] if layout == "integer-keys-jsonl" else None
    first, second = split_interleaved(table_of(with_ties(make_images(seed=9, n_images=40, keys=keys))))
    if layout == "integer-keys-jsonl":
        write_jsonl(first, tmp_path / "part-0.jsonl")
        write_jsonl(second, tmp_path / "part-1.jsonl")
    else:
        pq.write_table(first, tmp_path / "part-0.parquet", row_group_size=50)
        pq.write_table(second, tmp_path / "part-1.parquet", row_group_size=50)


@pytest.mark.parametrize("layout, status", [("failing-nan-inf", 1), ("scattered-across-files", 0),
                                            ("integer-keys-jsonl", 0)])
def test_cluster_ranks_as_the_local_run(kiv_rank, tmp_path, dask_cluster, layout, status):
    write_pool(tmp_path, layout)
    for options in ([], ["--fail-fast"]) if status else ([],):
        local = kiv_rank(".", "--workers", "2", "--out", "local.csv", *options)
        # A cluster of its own once.
        addresses = [dask_cluster[0], *(["local"] if layout == "scattered-across-files" else [])]
        for address in addresses:
            remote = kiv_rank(".", "--dask", address, "--workers", "2", "--out", "dask.csv", *options)
            assert local.returncode == remote.returncode == status, remote.stderr
            if status and options:  # the first failure in input order, whichever worker met it
                assert remote.stderr.splitlines()[-1] == local.stderr.splitlines()[-1]
                assert not (tmp_path / "dask.csv").exists()
            else:
                assert (tmp_path / "dask.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()
                # The failed images named as locally, and no report of the extension's.
                assert remote.stderr.splitlines()[:-1] == local.stderr.splitlines()[:-1], remote.stderr
            (tmp_path / "dask.csv").unlink(missing_ok=True)
        (tmp_path / "local.csv").unlink(missing_ok=True)
    # The extension's report of each failing image stays out of the workers' logs.
    assert not any("panicked" in log.read_text() for log in dask_cluster[2].glob("worker-*.log"))


def large_pool(path, images=60_000, per_image=8):
    """Many tasks' worth of rows, made without a loop per image."""
    rng = np.random.default_rng(1)
    rows = images * per_image
    corner = rng.uniform(0, 500, (rows, 2)).astype(np.float32)
    size = rng.uniform(5, 50, (rows, 2)).astype(np.float32)
    probs = rng.dirichlet(np.ones(3), rows).astype(np.float32).reshape(-1)
    pq.write_table(pa.table({
        "image": np.repeat(np.arange(images, dtype=np.int64), per_image),
        "x_min": corner[:, 0], "y_min": corner[:, 1], "x_max": corner[:, 0] + size[:, 0],
        "y_max": corner[:, 1] + size[:, 1],
        "class_probabilities": pa.FixedSizeListArray.from_arrays(pa.array(probs), 3),
        "uncertainty": rng.uniform(0, 1, rows).astype(np.float32),
        "scale": rng.integers(0, 2, rows),
    }), path, row_group_size=16_384)


def test_a_worker_killed_mid_run_changes_nothing(kiv_rank, tmp_path, dask_cluster):
    from distributed import Client

    from conftest import KIV_RANK

    address, add_worker, _ = dask_cluster
    large_pool(tmp_path / "pool.parquet")
    with Client(address) as client:
        before = set(client.scheduler_info()["workers"])
        extra = add_worker()
        client.wait_for_workers(len(before) + 1, timeout=60)
        (victim,) = set(client.scheduler_info()["workers"]) - before
        run = subprocess.Popen([KIV_RANK, "pool.parquet", "--dask", address, "--quiet", "--out", "dask.csv"],
                               cwd=tmp_path, stderr=subprocess.PIPE, text=True)
        # Killed while it holds a task: the scheduler gives that task to another worker.
        while not client.processing(workers=[victim]).get(victim) and run.poll() is None:
            time.sleep(0.01)
        assert run.poll() is None, "the run ended before the worker got a task"
        os.kill(extra.pid, signal.SIGKILL)
        assert run.wait(120) == 0, run.stderr.read()
    local = kiv_rank("pool.parquet", "--workers", "2", "--out", "local.csv")
    assert local.returncode == 0
    assert (tmp_path / "dask.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()


def test_rank_dask_keeps_nan_per_image(tmp_path, dask_cluster):
    dd = pytest.importorskip("dask.dataframe")
    import dask
    from distributed import Client

    import kiv_rank

    table = failing_pool(tmp_path)
    with dask.config.set({"dataframe.convert-string": False}):  # which would make the lists strings
        frame = dd.from_pandas(table.to_pandas(), npartitions=3)
    with Client(dask_cluster[0]):
        got = kiv_rank.rank_dask(frame)
    expected = kiv_rank.rank_table(table, workers=1)
    assert got.failed == 2
    assert got.table.equals(expected.table)
