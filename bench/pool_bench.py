"""Times kiv-rank on generated pools against its floor and a hand-written loop.

Every pool is Parquet, one row per detection, images contiguous, seeded and
cached under build/pool_bench/:
  - dense: 20,000 images of 20 to 200 detections (20 classes), one file;
  - sparse: 1,000,000 images of 4 detections (4 classes), one file, the keys
    dictionary-encoded as Parquet writes strings; and one a tenth the size for
    the memory growth;
  - shards: 3,000 files of 300 such images, as an inference job writes them.
One run reports, per pool:
  - the floor: a bare pyarrow read of the needed columns, and the sum of the
    KIV.run times of every image (single-threaded, arrays ready);
  - kiv-rank end to end (a fresh process, as a user runs it) with 1 and 2
    workers: wall and CPU time of every process, the main process's CPU time
    and peak memory, the whole tree's peak memory (sampled every 10 ms), and the
    serial fraction (main process CPU / all CPU);
and once: the start-up no run escapes (a fresh interpreter importing NumPy,
pyarrow and the extension), the loop a user writes by hand (pandas groupby,
KIV.run per group) on the dense pool, and a projection to 10,000,000 images on
32 cores. Every way must give the same scores bit for bit. The floor and the
kiv-rank runs are repeated, interleaved, and the median by wall time reported:
on a 2-core machine a single read varies by a factor of two.

Environment:
  POOL_BENCH_IMAGES=n         dense images (default 20,000; its small pool has n / 4)
  POOL_BENCH_SPARSE_IMAGES=n  sparse images (default 1,000,000; its small pool has n / 10)
  POOL_BENCH_SHARDS=n         shard files (default 3,000); 0 leaves the pool out, as 0 does above
  POOL_BENCH_REPEATS=r        runs of each repeated measurement (default 5, 3 on the larger pools)

Exit status 1 when the scores disagree or a run fails; the goals are only printed.
"""

from __future__ import annotations

import hashlib
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "pool_bench"
SEED = 20250101
CLASSES = 20
SPARSE_DETECTIONS, SPARSE_CLASSES, SHARD_IMAGES = 4, 4, 300
COLUMNS = ["image", "x_min", "y_min", "x_max", "y_max", "class_probabilities", "uncertainty", "scale"]
IOU_THRESHOLD, SCORE_THRESHOLD = 0.5, 0.05
KIV_RANK = str(Path(sys.executable).with_name("kiv-rank"))
MiB = 1024 * 1024


def detections(rng: np.random.Generator, counts: np.ndarray, classes: int, first_key: int = 0):  # noqa: ANN201
    """A table of images with the given numbers of detections, around n / 4
    objects per image seen from three scales."""
    import pyarrow as pa

    n_images = len(counts)
    image = np.repeat(np.arange(n_images), counts)
    n = int(counts.sum())
    objects = np.maximum(1, counts // 4)
    first_object = np.cumsum(objects) - objects
    member = first_object[image] + (rng.random(n) * objects[image]).astype(np.int64)
    centres = rng.uniform([0, 0], [1333, 800], size=(int(objects.sum()), 2))[member]
    sizes = np.exp(rng.uniform(np.log(14), np.log(400), size=(int(objects.sum()), 2)))[member]
    jitter = rng.normal(0.0, 0.06, size=(n, 4)) * np.hstack([sizes, sizes])
    boxes = (np.hstack([centres - sizes / 2, centres + sizes / 2]) + jitter).astype(np.float32)
    logits = rng.normal(size=(n, classes))
    logits[np.arange(n), rng.integers(0, classes, n)] += rng.uniform(0, 6, n)
    probs = np.exp(logits - logits.max(axis=1, keepdims=True))
    probs = (probs / probs.sum(axis=1, keepdims=True)).astype(np.float32)
    names = pa.array([f"img_{first_key + i:08d}.jpg" for i in range(n_images)])
    return pa.table({
        # Written as strings: Parquet dictionary-encodes them row group by row group.
        "image": pa.DictionaryArray.from_arrays(pa.array(image.astype(np.int32)), names).dictionary_decode(),
        "x_min": boxes[:, 0], "y_min": boxes[:, 1], "x_max": boxes[:, 2], "y_max": boxes[:, 3],
        "class_probabilities": pa.ListArray.from_arrays(
            pa.array(np.arange(n + 1, dtype=np.int32) * classes), pa.array(probs.reshape(-1))),
        "uncertainty": rng.beta(2.0, 5.0, n).astype(np.float32),
        "scale": rng.integers(0, 3, n),
    })


def write_atomically(path: Path, write) -> None:  # noqa: ANN001
    print(f"generating {path.relative_to(ROOT)} ...", file=sys.stderr, flush=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = path.with_name(path.name + ".tmp")
    write(temporary)
    temporary.rename(path)


def dense_pool(n_images: int) -> Path:
    """20 to 200 detections per image."""
    import pyarrow.parquet as pq

    path = CACHE / f"pool-{n_images}.parquet"
    if not path.exists():
        rng = np.random.default_rng(SEED + n_images)
        table = detections(rng, rng.integers(20, 201, n_images), CLASSES)
        write_atomically(path, lambda to: pq.write_table(table, to, row_group_size=65_536))
    return path


def sparse_pool(n_images: int) -> Path:
    import pyarrow.parquet as pq

    path = CACHE / f"sparse-{n_images}.parquet"
    if not path.exists():
        rng = np.random.default_rng(SEED + n_images + 1)
        table = detections(rng, np.full(n_images, SPARSE_DETECTIONS), SPARSE_CLASSES)
        write_atomically(path, lambda to: pq.write_table(table, to, row_group_size=65_536))
    return path


def shard_pool(n_files: int) -> Path:
    """A directory of n_files files of SHARD_IMAGES sparse images each."""
    import pyarrow.parquet as pq

    path = CACHE / f"shards-{n_files}"
    if not path.exists():
        rng = np.random.default_rng(SEED + n_files + 2)
        table = detections(rng, np.full(n_files * SHARD_IMAGES, SPARSE_DETECTIONS), SPARSE_CLASSES)
        rows = SHARD_IMAGES * SPARSE_DETECTIONS

        def write(to: Path) -> None:
            to.mkdir()
            for i in range(n_files):
                pq.write_table(table.slice(i * rows, rows), to / f"part-{i:05d}.parquet")

        write_atomically(path, write)
    return path


# ----------------------------------------------------------------------------
# Children: each measurement in a fresh process.

def digest(keys, scores: np.ndarray) -> str:  # noqa: ANN001
    """The scores as float32 bits, image by image in key order."""
    import pyarrow as pa
    import pyarrow.compute as pc

    keys = pa.array(keys) if not isinstance(keys, (pa.Array, pa.ChunkedArray)) else keys
    order = pc.sort_indices(keys).to_numpy()
    sorted_keys = pc.take(keys, pa.array(order))
    h = hashlib.sha256("\n".join(map(str, sorted_keys.to_pylist())).encode())
    h.update(np.asarray(scores, dtype=np.float32)[order].view(np.uint32).tobytes())
    return h.hexdigest()


def child_floor(path: str) -> dict:
    import pyarrow.parquet as pq

    start, cpu = time.perf_counter(), time.process_time()
    table = pq.read_table(path, columns=COLUMNS)
    return {"seconds": time.perf_counter() - start, "cpu": time.process_time() - cpu, "rows": table.num_rows}


def child_runs(path: str) -> dict:
    """KIV.run on every image with its arrays ready; only the calls are timed."""
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    import kiv_rs

    table = pq.read_table(path, columns=COLUMNS)
    codes = pc.dictionary_encode(table.column("image")).combine_chunks()
    keys, codes = codes.dictionary, codes.indices.to_numpy()
    boxes = np.stack([table.column(c).to_numpy() for c in COLUMNS[1:5]], axis=1)
    probs = table.column("class_probabilities").combine_chunks()
    probs = probs.flatten().to_numpy().reshape(len(probs), -1)
    unc, scales = table.column("uncertainty").to_numpy(), table.column("scale").to_numpy()
    starts = np.flatnonzero(np.r_[True, codes[1:] != codes[:-1], True]).tolist()
    scorer = kiv_rs.KIV(IOU_THRESHOLD, SCORE_THRESHOLD)
    total, scores = 0.0, np.zeros(len(keys), np.float32)
    for i, (a, b) in enumerate(zip(starts[:-1], starts[1:])):
        args = (np.ascontiguousarray(boxes[a:b]), probs[a:b], unc[a:b], scales[a:b])
        start = time.perf_counter()
        score, _ = scorer.run(*args)
        total += time.perf_counter() - start
        scores[i] = score
    return {"seconds": total, "cpu": total, "images": len(keys), "digest": digest(keys, scores)}


def child_hand_loop(path: str) -> dict:
    """What a user writes without the tool."""
    import pandas as pd

    import kiv_rs

    start, cpu = time.perf_counter(), time.process_time()
    frame = pd.read_parquet(path)
    scorer = kiv_rs.KIV(IOU_THRESHOLD, SCORE_THRESHOLD)
    scores = {}
    for key, group in frame.groupby("image", sort=False):
        boxes = group[["x_min", "y_min", "x_max", "y_max"]].to_numpy(np.float32)
        probs = np.stack(group["class_probabilities"].to_numpy()).astype(np.float32)
        scores[key] = scorer.run(boxes, probs, group["uncertainty"].to_numpy(np.float32),
                                 group["scale"].to_numpy(np.int64))[0]
    ranking = sorted(scores.items(), key=lambda kv: -kv[1])
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    return {"seconds": seconds, "cpu": cpu, "digest": digest([k for k, _ in ranking], np.array([v for _, v in ranking]))}


CHILDREN = {"floor": child_floor, "runs": child_runs, "hand": child_hand_loop}


def measure_child(kind: str, path: Path) -> dict:
    env = {**os.environ, "RAYON_NUM_THREADS": "1"}
    proc = subprocess.run([sys.executable, __file__, "--child", kind, str(path)], env=env,
                          capture_output=True, text=True)
    if proc.returncode:
        raise RuntimeError(f"{kind} failed: {proc.stderr.strip().splitlines()[-1:]}")
    return json.loads(proc.stdout)


def measure_startup() -> dict:
    """The quickest of three fresh interpreters importing what any worker needs."""
    runs = []
    for _ in range(3):
        before, start = os.times(), time.perf_counter()
        subprocess.run([sys.executable, "-c", "import numpy, pyarrow.parquet, kiv_rs"], check=True)
        after = os.times()
        runs.append({"seconds": time.perf_counter() - start,
                     "cpu": after.children_user + after.children_system
                     - before.children_user - before.children_system})
    return min(runs, key=lambda run: run["seconds"])


def median(runs: list[dict]) -> dict:
    """The run of median wall time (the lower middle one of an even number)."""
    return sorted(runs, key=lambda run: run["seconds"])[(len(runs) - 1) // 2]


def measure_tool(path: Path, workers: int) -> dict:
    """kiv-rank in a fresh process: wall time; CPU time of every process and of
    the main one; peak memory of the main process and of every process together.
    Sampled every 10 ms, but for the main process's CPU time, which the kernel
    accounts when it is reaped (the fork server and the workers are not its to reap)."""
    import psutil
    import pyarrow.parquet as pq

    out = CACHE / f"ranking-{path.stem}-{workers}.parquet"
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    proc = psutil.Popen([KIV_RANK, str(path), "--workers", str(workers), "--quiet", "--out", str(out)],
                        stderr=subprocess.PIPE, text=True)
    peak = main_peak = 0
    cpu: dict[int, float] = {}
    while proc.poll() is None:
        try:
            tree = [proc, *proc.children(recursive=True)]
            rss = [p.memory_info().rss for p in tree]
            peak, main_peak = max(peak, sum(rss)), max(main_peak, rss[0])
            for p in tree[1:]:
                times = p.cpu_times()
                cpu[p.pid] = times.user + times.system
        except psutil.Error:
            pass
        time.sleep(0.01)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    stderr = proc.stderr.read()
    if proc.returncode:
        raise RuntimeError(f"kiv-rank --workers {workers} failed: {stderr.strip()}")
    table = pq.read_table(out)
    main_cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return {"seconds": seconds, "cpu": main_cpu + sum(cpu.values()), "main_cpu": main_cpu, "main_peak": main_peak,
            "peak": peak,
            "digest": digest(table.column("image"), table.column("score").to_numpy())}


def bench_pool(name: str, path: Path, repeats: int, small: Path | None, growth_goal: float) -> dict:
    """Floor and kiv-rank on one pool, interleaved; prints its table."""
    load = os.getloadavg()
    runs: dict[str, list[dict]] = {"floor": [], "runs": [], "tool1": [], "tool2": [], "small": []}
    for _ in range(repeats):
        runs["floor"].append(measure_child("floor", path))
        runs["runs"].append(measure_child("runs", path))
        runs["tool1"].append(measure_tool(path, 1))
        runs["tool2"].append(measure_tool(path, 2))
        if small is not None:
            runs["small"].append(measure_tool(small, 1))
    floor, calls = median(runs["floor"]), median(runs["runs"])
    tool = {1: median(runs["tool1"]), 2: median(runs["tool2"])}
    floor_time = floor["seconds"] + calls["seconds"]
    print(f"\n{name}: {calls['images']:,} images, {floor['rows']:,} detections ({path.relative_to(ROOT)}); "
          f"load average before: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} on {os.cpu_count()} processors; "
          f"medians of {repeats} interleaved runs")
    print(f"{'':22}{'wall':>8}{'CPU':>8}{'main CPU':>9}{'serial':>7}{'main peak':>10}{'tree peak':>10}"
          f" {'wall range':>12}  notes (wall-time ratios)")
    rows = [
        ("bare pyarrow read", floor, runs["floor"], ""),
        ("sum of KIV.run times", calls, runs["runs"], ""),
        ("kiv-rank, 1 worker", tool[1], runs["tool1"],
         f"{tool[1]['seconds'] / floor_time:.2f}× (read + runs); goal ≤ 1.3×"),
        ("kiv-rank, 2 workers", tool[2], runs["tool2"],
         f"{tool[1]['seconds'] / tool[2]['seconds']:.2f}× from 1 worker; goal ≥ 1.7×"),
    ]
    for label, row, repeated, note in rows:
        times = [r["seconds"] for r in repeated]
        within = f"[{min(times):.2f}–{max(times):.2f}]" if times else ""
        main = (f"{row['main_cpu']:8.2f}s{row['main_cpu'] / row['cpu']:6.0%} {row['main_peak'] / MiB:6.0f} MiB"
                f"{row['peak'] / MiB:6.0f} MiB" if "main_cpu" in row else f"{'':36}")
        print(f"{label:22}{row['seconds']:7.2f}s{row['cpu']:7.2f}s{main} {within:>12}  {note}")
    if small is not None:
        # Peaks: the highest of every run, so that one quiet sample does not flatter either size.
        big_peak, small_peak = (max(r["peak"] for r in runs[k]) for k in ("tool1", "small"))
        small_images = int(small.stem.rsplit("-", 1)[1])
        print(f"tree peak, 1 worker: {small_peak / MiB:.0f} MiB ({small_images:,} images), {big_peak / MiB:.0f} MiB "
              f"({calls['images']:,}): {big_peak / small_peak:.2f}×; goal ≤ {growth_goal:g}×")
    digests = {r["digest"] for k in ("runs", "tool1", "tool2") for r in runs[k]}
    return {"agree": len(digests) == 1, "digest": calls["digest"], "tool": tool, "images": calls["images"],
            "rows": floor["rows"], "calls": calls["seconds"], "small": median(runs["small"]) if small else None,
            "small_images": int(small.stem.rsplit("-", 1)[1]) if small else 0}


def projection(measured: dict, images: int = 10_000_000, cores: int = 32) -> str:
    """10,000,000 images on 32 cores: per-image costs from the difference
    between the sparse pool and its small one, so that start-up is not scaled."""
    big, small = measured["tool"][1], measured["small"]
    added = measured["images"] - measured["small_images"]

    def per_image(key: str) -> float:
        return max(0.0, big[key] - small[key]) / added

    main_cpu = small["main_cpu"] + per_image("main_cpu") * images
    worker_cpu = (per_image("cpu") - per_image("main_cpu")) * images
    main_peak = small["main_peak"] + per_image("main_peak") * images
    bound = "main process" if main_cpu > worker_cpu / cores else "workers"
    return (f"projection to {images:,} images × 4 on {cores} cores: {worker_cpu:.0f} s of worker CPU "
            f"({worker_cpu / cores:.0f} s each), {main_cpu:.0f} s in the main process, so bound by the {bound}; "
            f"main process peak ≈ {main_peak / MiB / 1024:.1f} GiB ({per_image('main_peak'):.0f} bytes per image)")


def main() -> int:
    dense = int(os.environ.get("POOL_BENCH_IMAGES", "20000"))
    sparse = int(os.environ.get("POOL_BENCH_SPARSE_IMAGES", "1000000"))
    shards = int(os.environ.get("POOL_BENCH_SHARDS", "3000"))
    repeats = int(os.environ.get("POOL_BENCH_REPEATS", "0"))
    startup = measure_startup()
    print(f"start-up (a fresh interpreter importing NumPy, pyarrow and the extension): {startup['seconds']:.2f} s "
          f"wall, {startup['cpu']:.2f} s CPU, before any worker reads a row, whatever their number")
    agree = True
    if dense:
        measured = bench_pool("dense pool", dense_pool(dense), repeats or 5, dense_pool(max(1, dense // 4)), 1.1)
        hand = measure_child("hand", dense_pool(dense))
        tool = measured["tool"]
        print(f"hand-written pandas loop: {hand['seconds']:.2f} s, {hand['seconds'] / tool[1]['seconds']:.1f}× / "
              f"{hand['seconds'] / tool[2]['seconds']:.1f}× slower than 1 / 2 workers; goal ≥ 5×")
        agree &= measured["agree"] and hand["digest"] == measured["digest"]
    if sparse:
        measured = bench_pool("sparse pool", sparse_pool(sparse), repeats or 3, sparse_pool(max(1, sparse // 10)), 2)
        per_image = (measured["tool"][1]["cpu"] - measured["tool"][1]["main_cpu"]) / measured["images"]
        print(f"per image in the workers: {per_image * 1e6:.1f} µs of CPU (KIV.run alone "
              f"{measured['calls'] / measured['images'] * 1e6:.1f} µs); main process ≤ 300 MiB and ≤ 10% of all CPU")
        print(projection(measured))
        agree &= measured["agree"]
    if shards:
        measured = bench_pool("shards", shard_pool(shards), repeats or 3, None, 0)
        agree &= measured["agree"]
    print(f"\nscores: {'identical in every run' if agree else 'DIFFER'}")
    return 0 if agree else 1


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        print(json.dumps(CHILDREN[sys.argv[2]](sys.argv[3]), default=float))
    else:
        sys.exit(main())
