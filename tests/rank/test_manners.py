"""kiv-rank as a Unix tool: never over its input, quiet on a closed pipe,
every process gone on a signal, failures told briefly with their cause."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from conftest import KIV_RANK, make_images, read_ranking, table_of, write_jsonl


def many_images(n_images, rows_per_image=1, seed=0):
    """A pool of n_images built with NumPy alone: quick at a million rows."""
    rng = np.random.default_rng(seed)
    rows = n_images * rows_per_image
    corner = rng.uniform(0, 500, (rows, 2))
    probs = rng.dirichlet(np.ones(3), rows).astype(np.float32)
    return pa.table({
        "image": np.repeat(np.arange(n_images), rows_per_image),
        "x_min": corner[:, 0], "y_min": corner[:, 1], "x_max": corner[:, 0] + 20, "y_max": corner[:, 1] + 20,
        "class_probabilities": pa.FixedSizeListArray.from_arrays(pa.array(probs.ravel()), 3),
        "uncertainty": rng.uniform(0, 1, rows).astype(np.float32),
        "scale": rng.integers(0, 3, rows),
    })


@pytest.mark.parametrize("spelling", ["same", "dotdot", "symlink", "hardlink"])
def test_output_naming_an_input_is_refused(kiv_rank, tmp_path, spelling):
    (tmp_path / "sub").mkdir()
    pq.write_table(table_of(make_images(seed=1, n_images=3)), tmp_path / "pool.parquet")
    before = (tmp_path / "pool.parquet").read_bytes()
    out = {"same": "pool.parquet", "dotdot": "sub/../pool.parquet", "symlink": "link.parquet",
           "hardlink": "hard.parquet"}[spelling]
    if spelling == "symlink":
        (tmp_path / out).symlink_to("pool.parquet")
    if spelling == "hardlink":
        os.link(tmp_path / "pool.parquet", tmp_path / out)
    result = kiv_rank("pool.parquet", "--out", out)
    assert result.returncode == 2 and result.stderr.count("\n") == 1, result.stderr
    assert "is an input of this run" in result.stderr
    assert (tmp_path / "pool.parquet").read_bytes() == before


@pytest.mark.parametrize("suffix", [".parquet", ".jsonl"])
def test_own_ranking_in_an_input_directory_is_not_read_back(kiv_rank, tmp_path, suffix):
    (tmp_path / "pool").mkdir()
    pq.write_table(table_of(make_images(seed=2, n_images=5)), tmp_path / "pool" / "part.parquet")
    first = kiv_rank("pool", "--out", f"pool/ranking{suffix}")
    second = kiv_rank("pool", "--out", f"pool/again{suffix}")
    assert (first.returncode, second.returncode) == (0, 0), second.stderr
    assert "5 images scored" in second.stderr
    assert (tmp_path / "pool" / f"ranking{suffix}").read_bytes() == (tmp_path / "pool" / f"again{suffix}").read_bytes()


def test_one_file_under_several_names_is_read_once(kiv_rank, tmp_path):
    (tmp_path / "sub").mkdir()
    pq.write_table(table_of(make_images(seed=3, n_images=4)), tmp_path / "pool.parquet")
    (tmp_path / "sub" / "link.parquet").symlink_to("../pool.parquet")
    once = kiv_rank("pool.parquet", "--out", "once.csv")
    thrice = kiv_rank("pool.parquet", "./sub/../pool.parquet", "sub", "--out", "thrice.csv")
    assert thrice.returncode == 0, thrice.stderr
    assert (tmp_path / "once.csv").read_text() == (tmp_path / "thrice.csv").read_text()


@pytest.mark.parametrize("option, path", [("--out", "/proc/ranking.csv"), ("--plot", "/proc/scores.png"),
                                          ("--failure-log", "/proc/failures.txt")])
def test_unwritable_output_is_found_before_reading(kiv_rank, tmp_path, option, path):
    (tmp_path / "pool.parquet").write_bytes(b"not parquet: reading it would fail otherwise")
    result = kiv_rank("pool.parquet", "--out", "ranking.csv", option, path)
    assert result.returncode == 2 and result.stderr.count("\n") == 1, result.stderr
    assert result.stderr.startswith(f"kiv-rank: {path}: cannot write there: ")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pool.parquet"]


def test_existing_output_keeps_its_mode_and_symlinks_are_written_through(kiv_rank, tmp_path):
    pq.write_table(table_of(make_images(seed=4, n_images=3)), tmp_path / "pool.parquet")
    (tmp_path / "target.csv").write_text("old")
    (tmp_path / "target.csv").chmod(0o640)
    (tmp_path / "link.csv").symlink_to("target.csv")
    assert kiv_rank("pool.parquet", "--out", "link.csv").returncode == 0
    assert (tmp_path / "link.csv").is_symlink()
    assert (tmp_path / "target.csv").read_text().startswith('"rank"')
    assert (tmp_path / "target.csv").stat().st_mode & 0o777 == 0o640


def test_closed_pipe_stops_quietly(tmp_path):
    pq.write_table(many_images(20_000), tmp_path / "pool.parquet")
    with subprocess.Popen([KIV_RANK, "pool.parquet", "--quiet"], cwd=tmp_path, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as run:
        assert run.stdout.read(100)
        run.stdout.close()  # a ranking of 20,000 rows is larger than any pipe buffer
        status, stderr = run.wait(timeout=60), run.stderr.read().decode()
    assert (status, stderr) == (128 + signal.SIGPIPE, "")


def _semaphores(pid):
    with open(f"/proc/{pid}/maps") as maps:
        return {line.split()[-1] for line in maps if "/dev/shm/sem." in line}


def _group(pgid):
    listing = subprocess.run(["ps", "-o", "pid=", "-g", str(pgid)], capture_output=True, text=True).stdout
    return listing.split()


def _end_group(pgid):
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass


@pytest.mark.parametrize("signum, to_group, processes", [
    (signal.SIGTERM, False, 4),  # main, resource tracker, fork server, a worker: scoring has begun
    (signal.SIGINT, False, 4),
    (signal.SIGINT, True, 3),  # Ctrl-C on a terminal, while the fork server still starts
])
def test_signal_ends_every_process_of_the_run(tmp_path, signum, to_group, processes):
    pq.write_table(many_images(40_000, rows_per_image=25), tmp_path / "pool.parquet")
    with subprocess.Popen([KIV_RANK, "pool.parquet", "--workers", "2", "--out", "ranking.csv"], cwd=tmp_path,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True) as run:
        try:
            deadline = time.monotonic() + 60
            while len(_group(run.pid)) < processes and run.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            assert run.poll() is None, "the run ended before it could be stopped"
            semaphores = _semaphores(run.pid)
            assert semaphores or to_group  # the pool's queues exist once a worker does
            (os.killpg if to_group else os.kill)(run.pid, signum)
            status = run.wait(timeout=10)
            stopped = time.monotonic()
            while _group(run.pid) and time.monotonic() < stopped + 3:
                time.sleep(0.05)
            assert _group(run.pid) == []
            assert [s for s in semaphores if os.path.exists(s)] == []
            told = run.stderr.read().decode()
            assert (status, told) == (128 + signum, f"kiv-rank: stopped by {signal.Signals(signum).name}; nothing written\n")
        finally:
            _end_group(run.pid)  # whatever the outcome, nothing of the run outlives the test
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pool.parquet"]


def failure_causes_pool(tmp_path):
    images = make_images(seed=6, n_images=8)
    images[1][2][2, 0] = np.nan  # a NaN among a detection's probabilities
    images[3][3][1] = np.nan  # a NaN uncertainty, with several scales
    images[3][4][:2] = [0, 1]
    table = table_of(images)
    # An image whose detections have no classes.
    probs = table.column("class_probabilities").to_pylist()
    keys = table.column("image").to_pylist()
    probs = [[] if key == "img_005.jpg" else row for key, row in zip(keys, probs)]
    table = table.set_column(5, "class_probabilities", pa.array(probs, pa.list_(pa.float32())))
    pq.write_table(table, tmp_path / "pool.parquet")


def test_failures_are_brief_and_say_their_cause(kiv_rank, tmp_path, monkeypatch):
    failure_causes_pool(tmp_path)
    monkeypatch.setenv("RUST_BACKTRACE", "1")
    result = kiv_rank("pool.parquet", "--top", "2", "--out", "ranking.csv", "--failure-log", "failures.txt")
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert len(lines) == 4 and lines[-1].startswith("kiv-rank: 5 images scored, 3 failed (the output's last rows"), \
        result.stderr
    _, rows = read_ranking(tmp_path / "ranking.csv")
    causes = {row["image"]: row["error"] for row in rows[2:]}
    assert causes.keys() == {"img_001.jpg", "img_003.jpg", "img_005.jpg"}  # every failure kept with --top
    assert "detection 2 has a NaN among" in causes["img_001.jpg"]
    assert "detection 1 (scale 1) has a NaN uncertainty" in causes["img_003.jpg"]
    assert "no class probabilities" in causes["img_005.jpg"]
    assert all(cause.startswith("PanicException: ") for cause in causes.values())
    assert (tmp_path / "failures.txt").read_text().count("panicked") == 3

    fail_fast = kiv_rank("pool.parquet", "--fail-fast", "--workers", "1")
    assert fail_fast.returncode == 1 and fail_fast.stderr.count("\n") == 1, fail_fast.stderr
    assert "image 'img_001.jpg' failed" in fail_fast.stderr and "NaN among" in fail_fast.stderr


def test_jsonl_output_is_strict_json(kiv_rank, tmp_path):
    images = make_images(seed=7, n_images=4)
    for image, value in zip(images, (np.nan, np.inf, -np.inf)):
        image[3][:] = value
        image[4][:] = 0  # one scale: a NaN sum is the score, not a failure
    images[3][2][0, :2] = np.nan
    pq.write_table(table_of(images), tmp_path / "pool.parquet")
    result = kiv_rank("pool.parquet", "--out", "ranking.jsonl")
    assert result.returncode == 1, result.stderr

    def refuse(token):
        raise ValueError(token)

    rows = [json.loads(line, parse_constant=refuse) for line in (tmp_path / "ranking.jsonl").read_text().splitlines()]
    assert {row["image"]: row["score"] for row in rows} == {
        "img_000.jpg": "NaN", "img_001.jpg": "Infinity", "img_002.jpg": "-Infinity", "img_003.jpg": None}


@pytest.mark.parametrize("text, message", [
    ('{"image": "a", oops}', "pool.jsonl: cannot read it as JSON Lines: JSON parse error: "
                             "Missing a name for object member. on line 52"),
    ('{"image": "a"}', "pool.jsonl: line 52 has no value for 'x_min'"),
])
def test_jsonl_faults_name_their_line(kiv_rank, tmp_path, text, message):
    write_jsonl(table_of(make_images(seed=8, n_images=30)), tmp_path / "pool.jsonl")
    lines = (tmp_path / "pool.jsonl").read_text().splitlines()
    lines[50:50] = ["", text]  # a blank line holds no row
    (tmp_path / "pool.jsonl").write_text("\n".join(lines) + "\n")
    result = kiv_rank("pool.jsonl")
    assert (result.returncode, result.stderr) == (2, f"kiv-rank: {message}\n")


def test_script_without_main_guard_runs(tmp_path):
    pq.write_table(table_of(make_images(seed=9, n_images=3)), tmp_path / "pool.parquet")
    (tmp_path / "script.py").write_text(textwrap.dedent("""
        import kiv_rank
        print(kiv_rank.rank_files(["pool.parquet"], workers=1).summary())
    """))
    result = subprocess.run([sys.executable, "script.py"], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0 and result.stdout.startswith("3 images scored"), result.stderr
