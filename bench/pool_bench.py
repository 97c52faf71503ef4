"""Times kiv-rank on a generated pool against its floor and a hand-written loop.

The pool is Parquet, one row per detection, images contiguous, seeded and
cached under build/pool_bench/. One run reports:
  - the floor: a bare pyarrow read of the needed columns, and the sum of the
    KIV.run times of every image (single-threaded, arrays ready);
  - the start-up no run escapes: a fresh interpreter importing NumPy, pyarrow and
    the extension, paid before any worker reads a row, whatever their number;
  - kiv-rank end to end (a fresh process, as a user runs it) with 1 and 2 workers;
  - the loop a user writes by hand: pandas read_parquet, groupby, KIV.run per group;
  - the peak memory (every process of the run together) on a pool a quarter the size;
and checks that every way gives the same scores bit for bit. The floor and the
kiv-rank runs are repeated, interleaved, and the median by wall time reported:
on a 2-core machine a single read varies by a factor of two.

Environment:
  POOL_BENCH_IMAGES=n   images in the pool (default 20,000; the small pool has n / 4)
  POOL_BENCH_REPEATS=r  runs of each repeated measurement (default 5)

Exit status 1 when the scores disagree or a run fails; the goals are only printed.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "pool_bench"
SEED = 20250101
CLASSES = 20
COLUMNS = ["image", "x_min", "y_min", "x_max", "y_max", "class_probabilities", "uncertainty", "scale"]
IOU_THRESHOLD, SCORE_THRESHOLD = 0.5, 0.05
KIV_RANK = str(Path(sys.executable).with_name("kiv-rank"))


def make_pool(n_images: int, path: Path) -> None:
    """20 to 200 detections per image, around n / 4 objects seen from three scales."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.default_rng(SEED + n_images)
    counts = rng.integers(20, 201, n_images)
    image = np.repeat(np.arange(n_images), counts)
    n = int(counts.sum())
    objects = np.maximum(1, counts // 4)
    first_object = np.cumsum(objects) - objects
    member = first_object[image] + (rng.random(n) * objects[image]).astype(np.int64)
    centres = rng.uniform([0, 0], [1333, 800], size=(int(objects.sum()), 2))[member]
    sizes = np.exp(rng.uniform(np.log(14), np.log(400), size=(int(objects.sum()), 2)))[member]
    jitter = rng.normal(0.0, 0.06, size=(n, 4)) * np.hstack([sizes, sizes])
    boxes = (np.hstack([centres - sizes / 2, centres + sizes / 2]) + jitter).astype(np.float32)
    logits = rng.normal(size=(n, CLASSES))
    logits[np.arange(n), rng.integers(0, CLASSES, n)] += rng.uniform(0, 6, n)
    probs = np.exp(logits - logits.max(axis=1, keepdims=True))
    probs = (probs / probs.sum(axis=1, keepdims=True)).astype(np.float32)
    names = pa.array([f"img_{i:06d}.jpg" for i in range(n_images)])
    table = pa.table({
        "image": pa.DictionaryArray.from_arrays(pa.array(image.astype(np.int32)), names).dictionary_decode(),
        "x_min": boxes[:, 0], "y_min": boxes[:, 1], "x_max": boxes[:, 2], "y_max": boxes[:, 3],
        "class_probabilities": pa.ListArray.from_arrays(
            pa.array(np.arange(n + 1, dtype=np.int32) * CLASSES), pa.array(probs.reshape(-1))),
        "uncertainty": rng.beta(2.0, 5.0, n).astype(np.float32),
        "scale": rng.integers(0, 3, n),
    })
    path.parent.mkdir(parents=True, exist_ok=True)
    pq.write_table(table, path.with_suffix(".tmp"), row_group_size=65_536)
    path.with_suffix(".tmp").rename(path)


def pool(n_images: int) -> Path:
    path = CACHE / f"pool-{n_images}.parquet"
    if not path.exists():
        print(f"generating {path.relative_to(ROOT)} ...", file=sys.stderr, flush=True)
        make_pool(n_images, path)
    return path


# ----------------------------------------------------------------------------
# Children: each measurement in a fresh process.

def child_floor(path: str) -> dict:
    import pyarrow.parquet as pq

    start, cpu = time.perf_counter(), time.process_time()
    table = pq.read_table(path, columns=COLUMNS)
    return {"seconds": time.perf_counter() - start, "cpu": time.process_time() - cpu, "rows": table.num_rows}


def child_runs(path: str) -> dict:
    """KIV.run on every image with its arrays ready; only the calls are timed."""
    import pyarrow.parquet as pq

    import kiv_rs

    table = pq.read_table(path, columns=COLUMNS)
    keys = table.column("image").to_numpy(zero_copy_only=False)
    boxes = np.stack([table.column(c).to_numpy() for c in COLUMNS[1:5]], axis=1)
    probs = table.column("class_probabilities").combine_chunks().flatten().to_numpy().reshape(-1, CLASSES)
    unc, scales = table.column("uncertainty").to_numpy(), table.column("scale").to_numpy()
    starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1], True])
    scorer = kiv_rs.KIV(IOU_THRESHOLD, SCORE_THRESHOLD)
    total, scores = 0.0, {}
    for a, b in zip(starts[:-1], starts[1:]):
        args = (np.ascontiguousarray(boxes[a:b]), probs[a:b], unc[a:b], scales[a:b])
        start = time.perf_counter()
        score, _ = scorer.run(*args)
        total += time.perf_counter() - start
        scores[keys[a]] = score
    return {"seconds": total, "cpu": total, "scores": scores}


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
    return {"seconds": time.perf_counter() - start, "cpu": time.process_time() - cpu, "scores": dict(ranking)}


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
    """kiv-rank in a fresh process: wall time, CPU time and peak memory of all its
    processes (start-up included; sampled every 10 ms), scores."""
    import psutil
    import pyarrow.parquet as pq

    out = CACHE / f"ranking-{path.stem}-{workers}.parquet"
    start = time.perf_counter()
    proc = psutil.Popen([KIV_RANK, str(path), "--workers", str(workers), "--quiet", "--out", str(out)],
                        stderr=subprocess.PIPE, text=True)
    peak, cpu = 0, {}
    while proc.poll() is None:
        try:
            tree = [proc, *proc.children(recursive=True)]
            peak = max(peak, sum(p.memory_info().rss for p in tree))
            for p in tree:
                times = p.cpu_times()
                cpu[p.pid] = times.user + times.system
        except psutil.Error:
            pass
        time.sleep(0.01)
    seconds = time.perf_counter() - start
    stderr = proc.stderr.read()
    if proc.returncode:
        raise RuntimeError(f"kiv-rank --workers {workers} failed: {stderr.strip()}")
    table = pq.read_table(out)
    return {"seconds": seconds, "cpu": sum(cpu.values()), "peak": peak, "summary": stderr.strip(),
            "scores": dict(zip(table.column("image").to_pylist(), table.column("score").to_pylist()))}


def main() -> int:
    n = int(os.environ.get("POOL_BENCH_IMAGES", "20000"))
    big, small = pool(n), pool(max(1, n // 4))
    load = os.getloadavg()
    repeats = int(os.environ.get("POOL_BENCH_REPEATS", "5"))
    startup = measure_startup()
    measured: dict[str, list[dict]] = {"floor": [], "runs": [], "tool1": [], "tool2": [], "small": []}
    for _ in range(repeats):
        measured["floor"].append(measure_child("floor", big))
        measured["runs"].append(measure_child("runs", big))
        measured["tool1"].append(measure_tool(big, 1))
        measured["tool2"].append(measure_tool(big, 2))
        measured["small"].append(measure_tool(small, 1))
    hand = measure_child("hand", big)
    floor, runs = median(measured["floor"]), median(measured["runs"])
    tool = {1: median(measured["tool1"]), 2: median(measured["tool2"])}

    reference = runs["scores"]
    bits = lambda scores: {k: np.float32(v).view(np.uint32) for k, v in scores.items()}  # noqa: E731
    scored = [r["scores"] for k in ("runs", "tool1", "tool2") for r in measured[k]] + [hand["scores"]]
    agree = all(bits(s) == bits(reference) for s in scored)
    floor_time = floor["seconds"] + runs["seconds"]
    MiB = 1024 * 1024
    rows = [
        ("bare pyarrow read (floor)", floor, measured["floor"], ""),
        ("sum of KIV.run times", runs, measured["runs"], ""),
        ("start-up (interpreter)", startup, [], "before any worker reads a row, whatever their number"),
        ("kiv-rank, 1 worker", tool[1], measured["tool1"],
         f"{tool[1]['seconds'] / floor_time:.2f}× (read + runs); goal ≤ 1.3×"),
        ("kiv-rank, 2 workers", tool[2], measured["tool2"],
         f"{tool[1]['seconds'] / tool[2]['seconds']:.2f}× from 1 worker; goal ≥ 1.7×"),
        ("hand-written pandas loop", hand, [],
         f"{hand['seconds'] / tool[1]['seconds']:.1f}× / {hand['seconds'] / tool[2]['seconds']:.1f}× "
         "slower than 1 / 2 workers; goal ≥ 5×"),
    ]
    print(f"\npool: {len(reference):,} images, {floor['rows']:,} detections ({big.relative_to(ROOT)}); "
          f"load average before: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} on {os.cpu_count()} processors; "
          f"medians of {repeats} interleaved runs; the hand-written loop runs once")
    print(f"{'':28}{'wall':>9}{'CPU':>9} {'wall range':>12}  notes (wall-time ratios)")
    for name, row, repeated, note in rows:
        times = [r["seconds"] for r in repeated]
        within = f"[{min(times):.2f}–{max(times):.2f}]" if times else ""
        print(f"{name:28}{row['seconds']:8.2f}s{row['cpu']:8.2f}s {within:>12}  {note}")
    # Peaks: the highest of every run, so that one quiet sample does not flatter either size.
    peak = {k: max(r["peak"] for r in measured[k]) for k in ("tool1", "tool2", "small")}
    ratio = peak["tool1"] / peak["small"]
    print(f"peak memory, 1 worker: {peak['small'] / MiB:.0f} MiB ({n // 4:,} images), "
          f"{peak['tool1'] / MiB:.0f} MiB ({n:,} images): {ratio:.2f}×; goal within 10%; "
          f"2 workers: {peak['tool2'] / MiB:.0f} MiB")
    print(f"scores: {'identical in every run' if agree else 'DIFFER'}")
    return 0 if agree else 1


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        print(json.dumps(CHILDREN[sys.argv[2]](sys.argv[3]), default=float))
    else:
        sys.exit(main())
