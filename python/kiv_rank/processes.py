"""Where jobs run: worker processes started from a fork server, or the calling thread.

Imports nothing heavy, so that the command line starts the fork server before
its own imports: the server's (NumPy, pyarrow, the extension) overlap them.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
import sys
import threading
import types
import weakref
from collections.abc import Callable, Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from contextlib import contextmanager
from multiprocessing import forkserver, popen_forkserver
from multiprocessing.context import BaseContext, ForkServerContext, ForkServerProcess
from typing import Any

from .errors import Stopped

# A worker's job, and with it pyarrow and the extension: imported once by the
# fork server rather than by every worker.
WORKER_MODULES = ["kiv_rank.handover"]


# Where the workers' standard error goes: the extension writes a report there
# for every image that fails. None: nowhere.
_reports: str | None = None


def send_reports_to(path: str | None) -> None:
    """Workers started from now on append their standard error to path (None: discard it)."""
    global _reports
    _reports = path


class _WorkerPopen(popen_forkserver.Popen):
    """Starts a worker without the caller's main module: multiprocessing would
    run the module's top level again in every worker, which re-runs a script
    that has no `if __name__ == "__main__":` guard. Workers need nothing of it."""

    def _launch(self, process_obj: Any) -> None:
        main = sys.modules["__main__"]
        sys.modules["__main__"] = types.ModuleType("__main__")
        try:
            super()._launch(process_obj)
        finally:
            sys.modules["__main__"] = main


class _WorkerProcess(ForkServerProcess):
    @staticmethod
    def _Popen(process_obj: Any) -> _WorkerPopen:
        return _WorkerPopen(process_obj)


class _WorkerContext(ForkServerContext):
    Process = _WorkerProcess  # type: ignore[assignment]


def start_fork_server() -> BaseContext:
    """The context workers start from; its server starts now unless it runs already."""
    # forkserver: workers never inherit the parent's threads (pyarrow's among them).
    multiprocessing.get_context("forkserver").set_forkserver_preload(WORKER_MODULES)
    with _ctrl_c_ignored_by_children():
        forkserver.ensure_running()
    return _WorkerContext()


@contextmanager
def _ctrl_c_ignored_by_children() -> Iterator[None]:
    """Ctrl-C reaches every process of the terminal's group, and is the main
    process's to handle. A server (or resource tracker) started with SIGINT
    ignored keeps it ignored, and so do the workers forked from it, from their
    first instruction: none dies half-started with a traceback of its own."""
    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread may set handlers; its own are unchanged then
        return
    # Blocked meanwhile, a Ctrl-C for the main process waits rather than being ignored.
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, handler)
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


def _worker_start(reports: str | None) -> None:
    from .scoring import one_thread_pool

    one_thread_pool()
    # Ctrl-C is the parent's to handle; it shuts the workers down. (Ignored from
    # birth where the server was started so; here for one started by someone else.)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    target = os.open(reports or os.devnull, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
    os.dup2(target, 2)
    os.close(target)


# A signal that arrives while a worker starts waits until the pool has
# recorded it: a worker the pool does not know would outlive the clean-up.
_starting = False
_deferred: int | None = None
# The signal that stopped the run, and the pools whose workers it ends.
_signalled: int | None = None
_pools: weakref.WeakSet[ProcessPoolExecutor] = weakref.WeakSet()


def stop_on_signals() -> None:
    """SIGINT and SIGTERM raise Stopped in the main thread, once: a second must
    not cut the workers' clean-up short."""
    for handled in (signal.SIGINT, signal.SIGTERM):
        signal.signal(handled, _stop)


def stop_signal() -> int | None:
    """The signal that stopped the run, if one did."""
    return _signalled


def raise_if_stopped() -> None:
    """Raises Stopped again where a signal came before: the handler's own
    exception may have been swallowed by code it interrupted (a finalizer's,
    say), and a stopped run must neither go on nor write anything."""
    if _signalled is not None:
        raise Stopped(_signalled)


def _stop(signum: int, frame: object) -> None:
    global _deferred, _signalled
    for handled in (signal.SIGINT, signal.SIGTERM):
        signal.signal(handled, signal.SIG_IGN)
    _signalled = signum
    # Ended here too: should Stopped land in a finalizer, which swallows it,
    # the run still stops, as a broken pool that stop_signal() explains.
    for pool in list(_pools):
        for process in list((pool._processes or {}).values()):
            process.terminate()
    if _starting:
        _deferred = signum
        return
    raise Stopped(signum)


class _WorkerPool(ProcessPoolExecutor):
    def _spawn_process(self) -> None:
        global _starting, _deferred
        _starting = True
        try:
            super()._spawn_process()  # type: ignore[misc]
        except Exception as error:
            # The server died (a signal to the whole group, say): the same as a worker dying.
            if _deferred is None:
                raise BrokenProcessPool("a scoring process could not start") from error
        finally:
            _starting = False
        if _deferred is not None:
            signum, _deferred = _deferred, None
            raise Stopped(signum)


@contextmanager
def worker_pool(workers: int) -> Iterator[ProcessPoolExecutor]:
    """`workers` scoring processes; on any exception, a signal's among them,
    they are ended at once rather than after their running jobs."""
    context = start_fork_server()
    raise_if_stopped()
    pool = _WorkerPool(workers, mp_context=context, initializer=_worker_start, initargs=(_reports,))
    _pools.add(pool)
    try:
        yield pool
        pool.shutdown(wait=True)
    except BaseException:
        for process in list((pool._processes or {}).values()):
            process.terminate()
        pool.shutdown(wait=True, cancel_futures=True)
        raise


class InProcess(Executor):
    """Runs each job at once on the calling thread: for a process that is itself one of many workers."""

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future[Any]:
        future: Future[Any] = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:
            future.set_exception(error)
        return future
