"""The worker pool as a process sees it: how many threads the first run
starts, when the environment is read, and what a forked child gets.

Every case runs in a fresh interpreter, because the pool is made once per
process. Threads are counted in /proc/self/task after NumPy is imported,
so the threads NumPy's BLAS starts at import are counted before the pool.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    not os.path.isdir("/proc/self/task"), reason="threads are counted in /proc"
)

PRELUDE = """
import json, os
import numpy as np
import kiv_rs

def threads():
    return len(os.listdir("/proc/self/task"))

def detections(n):
    # Two identical boxes at scales 0 and 1 and one apart: score 0.5 + 1.0.
    boxes = np.array([[0, 0, 10, 10], [0, 0, 10, 10], [20, 20, 30, 30]], dtype=np.float32)[:n]
    probs = np.full((3, 1), 0.9, dtype=np.float32)[:n]
    unc = np.array([0.25, 0.5, 1.0], dtype=np.float32)[:n]
    scales = np.array([0, 1, 0], dtype=np.int64)[:n]
    return boxes, probs, unc, scales

kiv = kiv_rs.KIV(0.5, 0.0)
"""


def run_child(body, env, timeout=60):
    """Runs PRELUDE + body with exactly the pool variables in `env` set;
    returns the JSON object the child prints last."""
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    child_env.update(env)
    done = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=child_env,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


COUNT_THREADS = """
before = threads()
assert kiv.run(*detections({n})) == ({score}, None)
print(json.dumps({{"started": threads() - before, "cpus": len(os.sched_getaffinity(0))}}))
"""


@pytest.mark.parametrize(
    "num_threads, expected",
    [
        ("3", 3),
        ("+3", 3),
        (" 3", 2),  # not a number: RAYON_RS_NUM_CPUS decides
        ("-3", 2),
        ("x", 2),
        ("", 2),
        ("0", "cpus"),  # the processor count, even though RAYON_RS_NUM_CPUS is 2
    ],
)
def test_first_run_starts_the_workers_the_environment_asks_for(num_threads, expected):
    # Zero detections: the first run makes the pool all the same.
    seen = run_child(
        COUNT_THREADS.format(n=0, score=0.0),
        {"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": "2"},
    )
    assert seen["started"] == (seen["cpus"] if expected == "cpus" else expected)


@pytest.mark.parametrize("n, score", [(1, 0.25), (3, 1.5)])
def test_first_run_with_any_number_of_detections_starts_the_pool(n, score):
    seen = run_child(COUNT_THREADS.format(n=n, score=score), {"RAYON_RS_NUM_CPUS": "3"})
    assert seen["started"] == 3


def test_environment_is_read_by_the_first_run_only():
    seen = run_child(
        """
        os.environ["RAYON_NUM_THREADS"] = "3"  # after import, before the first run: counts
        before = threads()
        kiv.run(*detections(0))
        first = threads() - before
        os.environ["RAYON_NUM_THREADS"] = "5"
        os.environ["RAYON_RS_NUM_CPUS"] = "5"
        assert kiv.run(*detections(3)) == (1.5, None)
        print(json.dumps({"first": first, "later": threads() - before}))
        """,
        {},
    )
    assert seen == {"first": 3, "later": 3}


def test_forked_child_gets_a_pool_of_its_own():
    # The child inherits the parent's pool in memory but none of its
    # threads; a run there must not wait for workers that do not exist.
    seen = run_child(
        """
        import signal, time, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        assert kiv.run(*detections(3)) == (1.5, None)
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)  # a hang ends the child with SIGALRM
            ok = threads() == 1
            ok = ok and kiv.run(*detections(3)) == (1.5, None)
            ok = ok and threads() == 1 + 2
            ok = ok and kiv.run(*detections(2)) == (0.5, None)
            os._exit(0 if ok else 1)
        deadline = time.monotonic() + 30
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done or time.monotonic() > deadline:
                break
            time.sleep(0.01)
        if not done:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            status = -1
        # The parent's pool still works after the fork.
        parent_ok = kiv.run(*detections(3)) == (1.5, None)
        print(json.dumps({"child_status": status, "parent_ok": parent_ok}))
        """,
        {"RAYON_NUM_THREADS": "2"},
    )
    assert seen == {"child_status": 0, "parent_ok": True}
