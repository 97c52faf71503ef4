"""Where jobs run: worker processes started from a fork server, or the calling thread.

Imports nothing heavy, so that the command line starts the fork server before
its own imports: the server's (NumPy, pyarrow, the extension) overlap them.
"""

from __future__ import annotations

import multiprocessing
import signal
from collections.abc import Callable, Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from contextlib import contextmanager
from multiprocessing import forkserver
from multiprocessing.context import BaseContext
from typing import Any

# A worker's job, and with it pyarrow and the extension: imported once by the
# fork server rather than by every worker.
WORKER_MODULES = ["kiv_rank.handover"]


def start_fork_server() -> BaseContext:
    """The context workers start from; its server starts now unless it runs already."""
    # forkserver: workers never inherit the parent's threads (pyarrow's among them).
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(WORKER_MODULES)
    forkserver.ensure_running()
    return context


def _worker_start() -> None:
    from .scoring import one_thread_pool

    one_thread_pool()
    # Ctrl-C is the parent's to handle; it shuts the workers down.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextmanager
def worker_pool(workers: int) -> Iterator[ProcessPoolExecutor]:
    """`workers` scoring processes."""
    pool = ProcessPoolExecutor(workers, mp_context=start_fork_server(), initializer=_worker_start)
    try:
        yield pool
    except BaseException:
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown(wait=True)


class InProcess(Executor):
    """Runs each job at once on the calling thread: for a process that is itself one of many workers."""

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future[Any]:
        future: Future[Any] = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:
            future.set_exception(error)
        return future
