"""Times kiv_rs against the matrix baseline and the NumPy baseline.

Every (implementation, workload) pair runs in a fresh subprocess, so its peak
memory is its own: the child rebuilds the workload from its seed, warms up on a
few rows, resets the RSS high-water mark, makes one full call, and reports the
rise of the high-water mark over the RSS it had before the call (memory beyond
the inputs, C++ allocations included), followed by timed repeats. The parent
checks that all implementations agree bit for bit and prints one table.

Beside them runs the module's floor: the same call with a score threshold
above every confidence, so that it only reads and checks the inputs and keeps
nothing. module/floor says how far a call is from the cost of its reading.

With BENCH_RELEASE_PYTHON, the module as the release wheel ships it (imported
by that interpreter) runs beside this build's at the workloads the release goal
names, in alternating subprocesses; the table gives the medians of their
medians, with their range, and whether every run gave the same bits.

Environment:
  BENCH_QUICK=1      skip the baselines at N >= 20,000 and shorten the repeats
  BENCH_RELEASE_PYTHON=path  an interpreter with the release wheel installed
  BENCH_ONLY=text    only workloads whose name contains text (a list separated by
                     semicolons, since names hold commas: "N=1,000;N=5,000")
  BENCH_TIMEOUT=s    per-subprocess time limit (default 300)

Exit status 1 when implementations disagree or one fails; the goals are only
printed.
"""

from __future__ import annotations

import gc
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import time
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

IMPLS = ("module", "matrix", "numpy")
# Measured like an implementation, but its score (always 0.0) is not compared.
FLOOR = "floor"
MiB = 1024 * 1024
# Baselines are skipped above this estimate of their working memory.
BASELINE_MEMORY_LIMIT = 6 * 1000**3
# Address-space cap for every child, so a workload that cannot fit ends its own
# process instead of the machine.
CHILD_ADDRESS_SPACE = 10 * 1024**3
QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")


def baseline_memory(impl: str, n: int) -> int:
    if impl == "matrix":
        return 12 * n * n  # float64 distances and float32 similarities at once
    if impl == "numpy":
        return n * n + 600 * MiB  # boolean overlap matrix plus block temporaries
    return 0


# ----------------------------------------------------------------------------
# Child: one implementation on one workload.

def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def _reset_high_water_mark() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _make_callable(impl: str, w: workloads.Workload, lib: str | None, probabilities):
    """Returns (fn, to_float32): fn(b, p, u, s) is the timed call."""
    import numpy as np

    if impl in ("module", FLOOR):
        import kiv_rs

        score_threshold = (w.score_threshold if impl == "module"
                           else _above_every_confidence(probabilities))
        run = kiv_rs.KIV(w.iou_threshold, score_threshold).run
        return run, lambda r: np.float32(r[0])
    if impl == "matrix":
        import matrix_baseline

        score = matrix_baseline.load(Path(lib))
        iou, st = w.iou_threshold, w.score_threshold
        return (lambda b, p, u, s: score(iou, st, b, p, u, s)), np.float32
    if impl == "numpy":
        import numpy_baseline

        iou, st = w.iou_threshold, w.score_threshold
        return (lambda b, p, u, s: numpy_baseline.score(iou, st, b, p, u, s)), \
            (lambda r: np.float32(r[0]))
    raise ValueError(impl)


def _above_every_confidence(probabilities) -> float:
    """The float32 just above the largest probability: no row is kept."""
    import numpy as np

    largest = probabilities.max() if probabilities.size else np.float32(0.0)
    return float(np.nextafter(np.float32(largest), np.float32(np.inf)))


def child(impl: str, name: str, lib: str | None) -> None:
    import numpy as np

    w = workloads.BY_NAME[name]
    b, p, u, s = w.arrays()
    fn, to_f32 = _make_callable(impl, w, lib, p)
    info: dict = {}

    # Warm-up on a few rows: loads the library, starts the module's pool.
    k = min(w.n, 16)
    fn(b[:k], p[:k], u[:k], s[:k])

    # One full call under the reset high-water mark.
    gc.collect()
    can_reset = _reset_high_water_mark()
    rss_before = _status_kib("VmRSS")
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0 = time.perf_counter()
    result = fn(b, p, u, s)
    t_first = time.perf_counter() - t0
    hwm = _status_kib("VmHWM")
    if can_reset:
        info["memory_beyond_inputs"] = max(0, hwm - rss_before) * 1024
    else:  # the high-water mark can only be compared with its old value
        maxrss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        info["memory_beyond_inputs"] = max(0, maxrss - maxrss_before) * 1024
    score = to_f32(result)
    if impl == "numpy":
        info["objects"] = int(result[1])
    del result

    # Timed repeats: slow calls a few times, fast calls in tight timeit loops.
    if t_first >= 1.0:
        extra = 0 if (t_first > 4.0 or QUICK) else 2
        samples = [t_first]
        for _ in range(extra):
            t0 = time.perf_counter()
            fn(b, p, u, s)
            samples.append(time.perf_counter() - t0)
        number = 1
    else:
        timer = timeit.Timer("fn(b, p, u, s)", globals={"fn": fn, "b": b, "p": p, "u": u, "s": s})
        target = 0.05 if QUICK else 0.2  # seconds per sample
        number = max(1, int(target / max(t_first, 1e-7)))
        # Calibrate on the warm call time rather than the first call's.
        per_call = timer.timeit(number) / number
        number = max(1, int(target / max(per_call, 1e-8)))
        repeats = 5 if QUICK else (9 if w.n <= 100 else 7)
        samples = [t / number for t in timer.repeat(repeat=repeats, number=number)]
    again = to_f32(fn(b, p, u, s))

    info.update(
        score=float(score),
        bits=int(np.float32(score).view(np.uint32)),
        stable=bool(np.float32(again).view(np.uint32) == np.float32(score).view(np.uint32)),
        median=statistics.median(samples),
        samples=len(samples),
        number=number,
        first=t_first,
    )
    print("RESULT " + json.dumps(info), flush=True)


# ----------------------------------------------------------------------------
# Parent: run every pair, compare, print.

def _limit_child() -> None:
    resource.setrlimit(resource.RLIMIT_AS, (CHILD_ADDRESS_SPACE, CHILD_ADDRESS_SPACE))


def measure(impl: str, w: workloads.Workload, lib: str, timeout: float,
            python: str = sys.executable) -> dict:
    cmd = [python, str(Path(__file__).resolve()), "--child", impl, w.name, lib]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout,
                              preexec_fn=_limit_child)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:.0f} s"}
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    lines = [ln for ln in (proc.stderr or "").strip().splitlines() if ln.strip()]
    why = lines[-1] if lines else f"exit status {proc.returncode}"
    return {"error": f"{why} (exit status {proc.returncode})"}


def fmt_time(t: float | None) -> str:
    if t is None:
        return "n/a"
    if t < 1e-3:
        return f"{t * 1e6:.2f} µs"
    if t < 1.0:
        return f"{t * 1e3:.2f} ms"
    return f"{t:.2f} s"


def fmt_mem(m: int | None) -> str:
    if m is None:
        return "n/a"
    if m < MiB:
        return f"{m // 1024} KiB"
    return f"{m / MiB:.1f} MiB"


def fmt_ratio(r: float | None) -> str:
    return "n/a" if r is None else f"{r:,.1f}×"


# Goals per workload: (text, measured(row) -> value or None, met(value) -> bool, format).
def _module_median(r: dict):
    return r["module"].get("median")


def _at_most(text: str, seconds: float):
    return (text, _module_median, lambda v: v <= seconds, fmt_time)


def _ratio(impl: str, text: str, least: float):
    return (text, lambda r: r["ratio_" + impl], lambda v: v >= least, fmt_ratio)


GOALS = {
    "tiny N=16": [_at_most("median ≤ 1.0 µs", 1.0e-6)],
    "clustered N=1,000": [
        _at_most("median ≤ 100 µs", 100e-6),
        _ratio("matrix", "≥ 30× vs matrix", 30),
        _ratio("numpy", "≥ 100× vs NumPy", 100),
    ],
    "clustered N=5,000": [_at_most("median ≤ 1.2 ms", 1.2e-3)],
    "clustered N=20,000": [
        _at_most("median ≤ 12 ms", 12e-3),
        _ratio("matrix", "≥ 100× vs matrix", 100),
        _ratio("numpy", "≥ 20× vs NumPy", 20),
        ("memory ≤ 64 MiB", lambda r: r["module"].get("memory_beyond_inputs"),
         lambda v: v <= 64 * MiB, fmt_mem),
    ],
    "clustered N=100,000": [_at_most("median ≤ 120 ms", 120e-3)],
}
# No slower than before the work towards the floor (a6ab8a9 on a quiet machine).
for _name, _before in (("disjoint N=5,000", 0.54e-3), ("identical N=5,000", 0.47e-3),
                       ("chain N=5,000", 0.54e-3)):
    GOALS[_name] = [
        _at_most(f"median ≤ {fmt_time(_before)}", _before),
        _ratio("matrix", "≥ 50× vs matrix", 50),
        _ratio("numpy", "≥ 10× vs NumPy", 10),
    ]
for _w in workloads.WORKLOADS:
    GOALS.setdefault(_w.name, []).append(
        ("module/floor ≤ 4 (moonshot)", lambda r: r["ratio_floor"], lambda v: v <= 4, fmt_ratio))


def _git_head() -> str:
    try:
        head = subprocess.run(["git", "-C", str(HERE.parent), "log", "-1", "--format=%h %s"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(HERE.parent), "status", "--porcelain", "src"],
                               capture_output=True, text=True).stdout.strip()
        return head + (" (working tree's src/ has uncommitted changes)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def _mtime(path: str) -> str:
    return time.strftime("%Y-%m-%d %H:%M", time.localtime(os.path.getmtime(path)))


def _selected() -> list[workloads.Workload]:
    only = [s.strip() for s in os.environ.get("BENCH_ONLY", "").split(";") if s.strip()]
    if not only:
        return list(workloads.WORKLOADS)
    return [w for w in workloads.WORKLOADS if any(s in w.name for s in only)]


def _kept(w: workloads.Workload) -> int:
    import numpy as np

    b, p, u, s = w.arrays()
    if np.float32(w.score_threshold) == 0.0:
        return b.shape[0]
    return int((p.max(axis=1) >= np.float32(w.score_threshold)).sum())


def main() -> int:
    import numpy as np

    import matrix_baseline

    timeout = float(os.environ.get("BENCH_TIMEOUT", "300"))
    lib = str(matrix_baseline.build())
    try:
        import kiv_rs
        module_where = kiv_rs.__file__
    except ImportError as e:
        module_where = f"not importable: {e}"
    print(f"kiv_rs benchmark; tree at {_git_head()}")
    print(f"module: {module_where}"
          f"{'' if module_where.startswith('not') else ' built ' + _mtime(module_where)}")
    print(f"python {platform.python_version()}, numpy {np.__version__}, {os.cpu_count()} CPUs"
          f"{', QUICK' if QUICK else ''}")
    print("time: median per call over repeats; memory: RSS high-water mark of the call "
          "beyond the inputs; ratios: baseline time / module time; floor: the module with a "
          "score threshold above every confidence")
    print()

    start = time.perf_counter()
    rows = []
    failed = False
    for w in _selected():
        row = {"workload": w, "kept": _kept(w)}
        for impl in IMPLS:
            if impl != "module" and (w.module_only or baseline_memory(impl, w.n) > BASELINE_MEMORY_LIMIT):
                row[impl] = {"skipped": "needs > 6 GB"}
            elif impl != "module" and QUICK and w.n >= 20_000:
                row[impl] = {"skipped": "BENCH_QUICK"}
            else:
                t0 = time.perf_counter()
                row[impl] = measure(impl, w, lib, timeout)
                row[impl]["wall"] = time.perf_counter() - t0
        mod = row["module"]
        row[FLOOR] = measure(FLOOR, w, lib, timeout)
        floor = row[FLOOR]
        ok = "median" in mod and "median" in floor and floor["median"] > 0
        row["ratio_floor"] = mod["median"] / floor["median"] if ok else None
        for impl in ("matrix", "numpy"):
            base = row[impl]
            ok = "median" in mod and "median" in base and mod["median"] > 0
            row["ratio_" + impl] = base["median"] / mod["median"] if ok else None
        results = {impl: row[impl]["bits"] for impl in IMPLS if "bits" in row[impl]}
        if any("error" in row[impl] for impl in IMPLS + (FLOOR,)):
            agree = "FAILED"
        elif len(results) < 2:
            agree = "only one"
        elif len(set(results.values())) == 1:
            agree = "yes"
        else:
            agree = "NO"
        if not all(row[impl].get("stable", True) for impl in IMPLS):
            agree += ", UNSTABLE"
        if agree not in ("yes", "only one"):
            failed = True
        row["agree"] = agree
        rows.append(row)
        _print_row(row)
    print()
    _print_table(rows)
    print()
    _print_goals(rows)
    _print_failures(rows)
    if release_python := os.environ.get("BENCH_RELEASE_PYTHON"):
        failed |= not compare_release(release_python, lib, timeout)
    print(f"\ntotal wall time {time.perf_counter() - start:.0f} s")
    return 1 if failed else 0


def _cell_time(r: dict) -> str:
    if "skipped" in r:
        return "n/a"
    if "error" in r:
        return "failed"
    return fmt_time(r["median"])


def _cell_mem(r: dict) -> str:
    if "memory_beyond_inputs" not in r:
        return "n/a" if "error" not in r else "failed"
    return fmt_mem(r["memory_beyond_inputs"])


def _print_row(row: dict) -> None:
    w = row["workload"]
    parts = [f"{w.name}:"]
    for impl in IMPLS + (FLOOR,):
        r = row[impl]
        extra = f" x{r['samples']}" if "samples" in r else ""
        parts.append(f"{impl} {_cell_time(r)}{extra}")
    parts.append(f"agree {row['agree']}")
    print("  ".join(parts), flush=True)


def _print_table(rows: list[dict]) -> None:
    header = ["workload", "kept", "objects", "score", "module", "mem", "floor", "module/floor",
              "matrix", "mem", "numpy", "mem", "matrix/module", "numpy/module", "agree"]
    table = [header]
    for row in rows:
        score = next((row[i]["score"] for i in IMPLS if "score" in row[i]), None)
        objects = row["numpy"].get("objects")
        table.append([
            row["workload"].name, f"{row['kept']:,}",
            "n/a" if objects is None else f"{objects:,}",
            "n/a" if score is None else repr(score),
            _cell_time(row["module"]), _cell_mem(row["module"]),
            _cell_time(row[FLOOR]), fmt_ratio(row["ratio_floor"]),
            _cell_time(row["matrix"]), _cell_mem(row["matrix"]),
            _cell_time(row["numpy"]), _cell_mem(row["numpy"]),
            fmt_ratio(row["ratio_matrix"]), fmt_ratio(row["ratio_numpy"]), row["agree"],
        ])
    widths = [max(len(r[c]) for r in table) for c in range(len(header))]
    for k, r in enumerate(table):
        cells = [r[0].ljust(widths[0])] + [r[c].rjust(widths[c]) for c in range(1, len(r))]
        print(" | ".join(cells))
        if k == 0:
            print("-+-".join("-" * x for x in widths))


def _print_goals(rows: list[dict]) -> None:
    print("goals (printed, never asserted):")
    for row in rows:
        for text, measured, met, fmt in GOALS.get(row["workload"].name, []):
            value = measured(row)
            verdict = "n/a" if value is None else ("met" if met(value) else "MISSED")
            print(f"  {row['workload'].name:<20} {text:<28} {fmt(value):>12}  {verdict}")


def _print_failures(rows: list[dict]) -> None:
    lines = [f"  {row['workload'].name} / {impl}: {row[impl]['error']}"
             for row in rows for impl in IMPLS + (FLOOR,) if "error" in row[impl]]
    if lines:
        print("\nfailures:")
        print("\n".join(lines))


# ----------------------------------------------------------------------------
# The release module beside the development build.

RELEASE_WORKLOADS = ("clustered N=1,000", "clustered N=20,000")
RELEASE_ROUNDS = 3 if QUICK else 7
RELEASE_GOAL = 1.03  # release time / development time


def compare_release(release_python: str, lib: str, timeout: float) -> bool:
    """Prints the comparison; False when the two builds' bits differ or a run fails."""
    where = subprocess.run([release_python, "-c", "import kiv_rs; print(kiv_rs.__file__)"],
                           capture_output=True, text=True).stdout.strip()
    print(f"\nrelease module {where or 'not importable'} beside the development build, "
          f"{RELEASE_ROUNDS} alternating rounds:")
    sides = {"development": sys.executable, "release": release_python}
    table = [["workload", "development", "release", "release/development", "goal", "same bits"]]
    sound = True
    for w in (w for w in _selected() if w.name in RELEASE_WORKLOADS):
        runs: dict[str, list[dict]] = {side: [] for side in sides}
        for k in range(RELEASE_ROUNDS):
            # Each side goes first every other round, so that drift in the
            # machine's load falls on both.
            for side in (list(sides) if k % 2 == 0 else list(sides)[::-1]):
                runs[side].append(measure("module", w, lib, timeout, sides[side]))
        if any("error" in r for side in runs.values() for r in side):
            errors = {r["error"] for side in runs.values() for r in side if "error" in r}
            table.append([w.name, "failed", "failed", "n/a", "n/a", "; ".join(sorted(errors))])
            sound = False
            continue
        medians = {side: sorted(r["median"] for r in runs[side]) for side in sides}
        bits = {r["bits"] for side in runs.values() for r in side}
        stable = all(r["stable"] for side in runs.values() for r in side)
        ratio = statistics.median(medians["release"]) / statistics.median(medians["development"])
        same = len(bits) == 1 and stable
        sound &= same
        table.append([w.name] + [
            f"{fmt_time(statistics.median(m))} [{fmt_time(m[0])}–{fmt_time(m[-1])}]"
            for m in medians.values()
        ] + [f"{ratio:.3f}", "met" if ratio <= RELEASE_GOAL else "MISSED",
             "yes" if same else "NO"])
    widths = [max(len(r[c]) for r in table) for c in range(len(table[0]))]
    for k, r in enumerate(table):
        print(" | ".join([r[0].ljust(widths[0])] + [r[c].rjust(widths[c]) for c in range(1, len(r))]))
        if k == 0:
            print("-+-".join("-" * x for x in widths))
    print(f"goal: release/development ≤ {RELEASE_GOAL} (printed, never asserted)")
    return sound


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else None)
    else:
        sys.exit(main())
