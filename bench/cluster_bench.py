"""Times kiv-rank on the pool benchmark's 20,000-image pool, in one run: local
workers reading its file from disk, `--dask local` with as many workers, and
the pool as shards (one file per row group, as an inference job writes them)
read by local workers from disk and from an S3 server on this machine (moto's,
started here as a process of its own). moto's server copies a whole object
for every ranged read, so the one large file is timed from it too, to show
that cost. Runs are interleaved and repeated; the median by wall time is
reported with its range, and every way must write the same ranking byte for byte.

Then the cost a Dask run adds: starting and closing a local cluster, and the
scheduler's round trip per task (no-op tasks through the same executor the
run uses, as many out at a time as a run keeps), beside the task size.

Environment:
  POOL_BENCH_IMAGES=n     images in the pool (default 20,000)
  CLUSTER_BENCH_REPEATS=r runs of each way (default 5)
  CLUSTER_BENCH_WORKERS=w workers of each way (default 2)

Exit status 1 when the rankings differ or a run fails; the goals are only printed.
"""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pool_bench import CACHE, KIV_RANK, dense_pool  # noqa: E402

BIN = Path(sys.executable).parent
KEYS = {"AWS_ACCESS_KEY_ID": "bench", "AWS_SECRET_ACCESS_KEY": "bench", "AWS_REGION": "us-east-1"}


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def shards(path: Path) -> Path:
    """The pool's row groups as files of their own, in a folder beside it."""
    import pyarrow.parquet as pq

    folder = path.with_suffix(".shards")
    if not folder.exists():
        parquet = pq.ParquetFile(path)
        folder.with_suffix(".tmp").mkdir()
        for group in range(parquet.metadata.num_row_groups):
            pq.write_table(parquet.read_row_group(group), folder.with_suffix(".tmp") / f"part-{group:04d}.parquet")
        folder.with_suffix(".tmp").rename(folder)
    return folder


def start_s3(path: Path, folder: Path) -> tuple[subprocess.Popen, dict[str, str]]:
    """moto's server with the pool uploaded as s3://pool/<name> and its shards under s3://pool/shards/."""
    from pyarrow import fs

    port = free_port()
    server = subprocess.Popen([BIN / "moto_server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    endpoint = f"http://127.0.0.1:{port}"
    deadline = time.monotonic() + 60
    while True:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                break
        if time.monotonic() > deadline or server.poll() is not None:
            raise RuntimeError("moto_server did not start")
        time.sleep(0.1)
    s3 = fs.S3FileSystem(endpoint_override=endpoint, access_key="bench", secret_key="bench",
                         region="us-east-1", allow_bucket_creation=True)
    s3.create_dir("pool")
    fs.copy_files(str(path), f"pool/{path.name}", destination_filesystem=s3)
    fs.copy_files(str(folder), "pool/shards", destination_filesystem=s3)
    return server, {**KEYS, "AWS_ENDPOINT_URL": endpoint}


def timed(args: list[str], env: dict[str, str], out: Path) -> float:
    start = time.perf_counter()
    result = subprocess.run([KIV_RANK, *args, "--quiet", "--out", str(out)], capture_output=True, text=True,
                            env={**os.environ, **env})
    seconds = time.perf_counter() - start
    if result.returncode != 0:
        raise RuntimeError(f"kiv-rank {' '.join(args)}: {result.stderr.strip()}")
    return seconds


def dask_costs(workers: int, tasks: int = 400) -> dict[str, float]:
    from kiv_rank.cluster import OnWorkers, client_for

    start = time.perf_counter()
    with client_for("local", workers) as client:
        started = time.perf_counter() - start
        executor = OnWorkers(client)
        executor.submit(int).result()  # the wrapper's module imported on the workers
        window, pending = 2 * workers, []
        begin = time.perf_counter()
        for _ in range(tasks):
            if len(pending) >= window:
                pending.pop(0).result()
            pending.append(executor.submit(int))
        for future in pending:
            future.result()
        per_task = (time.perf_counter() - begin) / tasks
        closing = time.perf_counter()
    return {"cluster_start_s": started, "cluster_close_s": time.perf_counter() - closing,
            "per_task_ms": per_task * 1000 * workers}


def main() -> int:
    import pyarrow.parquet as pq

    from kiv_rank.reading import PART_ROWS

    images = int(os.environ.get("POOL_BENCH_IMAGES", 20_000))
    repeats = int(os.environ.get("CLUSTER_BENCH_REPEATS", 5))
    workers = str(int(os.environ.get("CLUSTER_BENCH_WORKERS", 2)))
    path = dense_pool(images)
    rows = pq.ParquetFile(path).metadata.num_rows
    out = CACHE / "cluster_bench"
    out.mkdir(parents=True, exist_ok=True)
    folder = shards(path)
    server, s3_env = start_s3(path, folder)
    ways = {
        "file, disk": ([str(path), "--workers", workers], {}),
        "file, --dask local": ([str(path), "--dask", "local", "--workers", workers], {}),
        "shards, disk": ([str(folder), "--workers", workers], {}),
        "shards, S3 server": (["s3://pool/shards/", "--workers", workers], s3_env),
        "file, S3 server": ([f"s3://pool/{path.name}", "--workers", workers], s3_env),
    }
    seconds: dict[str, list[float]] = {name: [] for name in ways}
    try:
        for _ in range(repeats):
            for name, (args, env) in ways.items():
                ranking = out / f"{len(seconds[name])}-{name.replace(' ', '').replace(',', '-')}.csv"
                seconds[name].append(timed(args, env, ranking))
    finally:
        server.terminate()
        server.wait()
    rankings = {p.read_bytes() for p in out.glob("*.csv")}
    for ranking in out.glob("*.csv"):
        ranking.unlink()
    costs = dask_costs(int(workers))

    print(f"pool: {images:,} images, {rows:,} rows, {len(list(folder.iterdir()))} shards; {workers} workers; "
          f"{repeats} interleaved runs each; load average {os.getloadavg()[0]:.1f}")
    print(f"{'':<20}{'median s':>10}{'range s':>16}{'ratio':>8}  against")
    for name, runs in seconds.items():
        median = float(np.median(runs))
        against = "shards, disk" if name.startswith("shards, S3") else "file, disk"
        ratio = median / float(np.median(seconds[against]))
        print(f"{name:<20}{median:>10.2f}{f'{min(runs):.2f}-{max(runs):.2f}':>16}{ratio:>7.2f}x  {against}")
    print("goals: --dask local <= 1.3x; shards from the S3 server <= 1.5x of the same shards from disk")
    print(f"task size: up to {PART_ROWS:,} rows (consecutive row groups), {-(-rows // PART_ROWS)} tasks here")
    print(f"local cluster start {costs['cluster_start_s']:.2f} s, close {costs['cluster_close_s']:.2f} s; "
          f"scheduler round trip per task {costs['per_task_ms']:.2f} ms of a worker's time")
    print(json.dumps({"seconds": seconds, **costs}), file=sys.stderr)
    if len(rankings) != 1:
        print("FAIL: the rankings differ", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
