"""The Dask path against the local ranking, on one two-process cluster."""

import pyarrow.parquet as pq
import pytest

from conftest import make_images, table_of, with_ties
from test_cli import split_interleaved

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def scheduler():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        yield cluster.scheduler_address


def test_dask_ranks_as_the_local_run(kiv_rank, tmp_path, scheduler):
    first, second = split_interleaved(table_of(with_ties(make_images(seed=9, n_images=40))))
    for i, part in enumerate((first, second)):
        pq.write_table(part, tmp_path / f"part-{i}.parquet", row_group_size=50)
    local = kiv_rank(tmp_path, "--workers", "1", "--out", "local.csv")
    remote = kiv_rank(tmp_path, "--dask", scheduler, "--out", "dask.csv")
    assert (local.returncode, remote.returncode) == (0, 0), remote.stderr
    assert (tmp_path / "dask.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()
    assert "43 images scored" in remote.stderr
