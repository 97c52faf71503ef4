"""kiv-rank: rank a pool of images by KIV score, from stored detections to the
next batch to label."""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path
from typing import TYPE_CHECKING

from .columns import Columns
from .dependencies import check_pyarrow
from .errors import ImageFailed, InputError, Stopped
from .processes import raise_if_stopped, send_reports_to, start_fork_server, stop_signal, stop_on_signals
from .uris import is_uri, local_or_uri

if TYPE_CHECKING:
    import pyarrow as pa

PROG = "kiv-rank"
# Failed images named on standard error; the output holds every one.
NAMED_FAILURES = 3
# As a shell reports a process ended by that signal.
STATUS_SIGNALLED = 128
EPILOG = """exit status: 0 every image scored; 1 some image failed (the ranking is
still written: failed images last, kept with --top too, 'error' saying why) or
--fail-fast stopped at one (nothing written); 2 bad usage, unreadable input,
an output that cannot be written or is an input, or a scoring process that
died (nothing written); 130 on SIGINT (Ctrl-C) and 143 on SIGTERM (every
worker ended, nothing written); 141 when standard output is a pipe that
closes early (quietly, like any Unix tool)."""


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, got {text!r}")
    return value


def _four_names(text: str) -> tuple[str, str, str, str]:
    names = tuple(name.strip() for name in text.split(","))
    if len(names) != 4 or not all(names):
        raise argparse.ArgumentTypeError(f"four comma-separated names are needed: {text!r}")
    return names  # type: ignore[return-value]


def _version() -> str:
    from importlib import metadata

    return f"{PROG} {metadata.version('kiv_rs')}"


def build_parser() -> argparse.ArgumentParser:
    from .scoring import IOU_THRESHOLD, SCORE_THRESHOLD

    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0], epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    defaults = Columns()
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="Parquet (.parquet) or JSON Lines (.jsonl) files or directories of them")
    parser.add_argument("--out", type=local_or_uri,
                        help="output file: .csv, .parquet or .jsonl (default: CSV on stdout)")
    parser.add_argument("--top", type=_positive, metavar="K",
                        help="keep the first K images (and every failed one, after them)")
    parser.add_argument("--plot", type=local_or_uri, metavar="PATH.png", help="draw the score distribution")
    parser.add_argument("--iou-threshold", type=_fraction, default=IOU_THRESHOLD, metavar="X",
                        help=f"IoU that joins two detections into one object (default: {IOU_THRESHOLD})")
    parser.add_argument("--score-threshold", type=_fraction, default=SCORE_THRESHOLD, metavar="X",
                        help="detections whose largest class probability is below X are dropped "
                             f"(default: {SCORE_THRESHOLD})")
    parser.add_argument("--workers", type=_positive, metavar="N",
                        help=f"scoring processes (default: the processors available, {len(os.sched_getaffinity(0))})")
    parser.add_argument("--fail-fast", action="store_true", help="stop at the first image that fails")
    parser.add_argument("--failure-log", type=Path, metavar="FILE",
                        help="append the extension's report of each failing image to FILE (default: discarded)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    parser.add_argument("--dask", metavar="ADDRESS",
                        help="score on the Dask scheduler at ADDRESS, or on a local cluster with 'local'")
    parser.add_argument("--version", action="version", version=_version())
    names = parser.add_argument_group("column names")
    names.add_argument("--image-column", default=defaults.image)
    names.add_argument("--box-columns", type=_four_names, default=defaults.boxes, metavar="A,B,C,D")
    names.add_argument("--prob-column", default=defaults.probabilities)
    names.add_argument("--uncertainty-column", default=defaults.uncertainty)
    names.add_argument("--scale-column", default=defaults.scale)
    return parser


def run(args: argparse.Namespace) -> int:
    if not args.dask:
        start_fork_server()  # before our own imports, which its imports then overlap
    check_pyarrow()
    from . import api
    from .dependencies import require
    from .outputs import check_outputs, staging
    from .plot import check_plot, plot_scores
    from .reading import find_sources
    from .writing import check_target, write_ranking

    columns = Columns(args.image_column, args.box_columns, args.prob_column, args.uncertainty_column,
                      args.scale_column)
    thresholds = {"iou_threshold": args.iou_threshold, "score_threshold": args.score_threshold}
    if args.out is not None:
        check_target(args.out)
    if args.plot is not None:
        check_plot(args.plot)
    if args.dask:
        require("distributed", "dask", "--dask")
    outputs = [path for path in (args.out, args.plot, args.failure_log) if path is not None]
    found = [source.path for source in find_sources(args.paths)]
    check_outputs(outputs, found)
    # The files found stand for the paths given: their directories are not
    # searched again. A store's prefixes are, rather than asked about each object.
    paths = args.paths if any(is_uri(path) for path in args.paths) else found
    send_reports_to(None if args.failure_log is None else str(args.failure_log.resolve()))
    if args.dask:
        from .cluster import rank_dask_files

        ranking = rank_dask_files(paths, args.dask, args.workers, columns=columns, **thresholds,
                                  fail_fast=args.fail_fast, progress=False if args.quiet else None)
    else:
        ranking = api.rank_files(paths, columns=columns, **thresholds, workers=args.workers,
                                 fail_fast=args.fail_fast, progress=False if args.quiet else None)
    raise_if_stopped()
    with staging() as stage:
        write_ranking(ranking.top(args.top), args.out, stage)
        if args.plot is not None:
            plot_scores(ranking.table, args.top, args.plot, stage)
        raise_if_stopped()
    _tell_failures(ranking.table)
    print(f"{PROG}: {ranking.summary()}", file=sys.stderr)
    return 1 if ranking.failed else 0


def _tell_failures(table: pa.Table) -> None:
    import pyarrow.compute as pc

    failed = table.filter(pc.is_valid(table.column("error")))
    for row in failed.slice(0, NAMED_FAILURES).to_pylist():
        print(f"{PROG}: image {row['image']!r} failed: {row['error']}", file=sys.stderr)
    if failed.num_rows > NAMED_FAILURES:
        print(f"{PROG}: and {failed.num_rows - NAMED_FAILURES:,} more failed images", file=sys.stderr)


def _quiet_stdout() -> None:
    """Standard output onto /dev/null, so that the interpreter's last flush
    does not meet the closed pipe again."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: list[str] | None = None) -> int:
    stop_on_signals()
    try:  # a signal may also arrive while another outcome is told
        try:
            return run(build_parser().parse_args(argv))
        except InputError as error:
            print(f"{PROG}: {error}", file=sys.stderr)
            return 2
        except ImageFailed as error:
            print(f"{PROG}: {error} (--fail-fast: nothing written)", file=sys.stderr)
            return 1
        except BrokenProcessPool:
            if (signum := stop_signal()) is not None:
                raise Stopped(signum) from None
            print(f"{PROG}: a scoring process ended unexpectedly; nothing written", file=sys.stderr)
            return 2
        except BrokenPipeError:
            _quiet_stdout()
            return STATUS_SIGNALLED + signal.SIGPIPE
    except Stopped as stop:
        print(f"{PROG}: stopped by {signal.Signals(stop.signum).name}; nothing written", file=sys.stderr)
        return STATUS_SIGNALLED + stop.signum
