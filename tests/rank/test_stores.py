"""Pools read from and rankings written to an S3 server (moto's, a process of
its own), with local workers and on the Dask cluster, against the local run."""

import subprocess

import pyarrow.parquet as pq
import pytest

from conftest import KIV_RANK, make_images, table_of, with_ties
from servers import store
from test_cli import split_interleaved


@pytest.fixture(scope="module")
def s3_pool(s3_store, tmp_path_factory):
    """The same pool on disk and under s3://pool/detections/, and its local ranking."""
    folder = tmp_path_factory.mktemp("pool")
    first, second = split_interleaved(table_of(with_ties(make_images(seed=11, n_images=40))))
    bucket = store(s3_store)
    for i, part in enumerate((first, second)):
        pq.write_table(part, folder / f"part-{i}.parquet", row_group_size=50)
        pq.write_table(part, f"pool/detections/day={i}/part.parquet", filesystem=bucket, row_group_size=50)
    with bucket.open_output_stream("pool/detections/notes.txt") as notes:  # not read as input
        notes.write(b"written by the inference job")
    out = tmp_path_factory.mktemp("ranking") / "local.parquet"
    subprocess.run([KIV_RANK, folder, "--workers", "2", "--out", out], check=True, capture_output=True)
    return out.read_bytes()


@pytest.mark.parametrize("where", ["local-workers", "dask"])
def test_ranked_from_and_to_s3_as_from_disk(kiv_rank, s3_store, s3_pool, where, request):
    options = ["--dask", request.getfixturevalue("dask_cluster")[0]] if where == "dask" else ["--workers", "2"]
    out = f"s3://pool/rankings/{where}.parquet"
    result = kiv_rank("s3://pool/detections/", *options, "--out", out, "--plot", out[:-8] + ".png", env=s3_store)
    assert result.returncode == 0, result.stderr
    bucket = store(s3_store)
    with bucket.open_input_stream(out[5:]) as ranking:
        assert ranking.read() == s3_pool
    assert bucket.get_file_info(out[5:-8] + ".png").size > 0


@pytest.mark.parametrize("path, env, message", [
    ("s3://pool/nothing/", {}, "s3://pool/nothing/: no such object or prefix"),
    ("s3://pool/detections/notes.txt", {}, "notes.txt: not a Parquet (.parquet) or JSON Lines (.jsonl) file"),
    ("s3://no-bucket/detections/", {}, "s3://no-bucket/detections/: no such object or prefix"),
    ("s3://pool/detections/", {"AWS_ENDPOINT_URL": "http://127.0.0.1:9"}, "Could not connect to server"),
    ("s3://pool/detections/", {"AWS_SECRET_ACCESS_KEY": "wrong"}, "ACCESS_DENIED"),
])
def test_unreadable_store_says_so_in_a_line(kiv_rank, s3_store, s3_pool, path, env, message):
    out = f"s3://pool/failed/{len(env)}-{path[5:9]}.csv"
    result = kiv_rank(path, "--workers", "1", "--out", out, env={**s3_store, **env})
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr
    assert not store(s3_store).get_file_info(out[5:]).is_file


def test_an_output_over_an_input_object_is_refused(kiv_rank, s3_store, s3_pool):
    target = "s3://pool/detections/day=0/part.parquet"
    before = store(s3_store).get_file_info(target[5:]).mtime
    result = kiv_rank("s3://pool/detections/", "--workers", "1", "--out", target, env=s3_store)
    assert result.returncode == 2 and "is an input of this run" in result.stderr, result.stderr
    assert store(s3_store).get_file_info(target[5:]).mtime == before
