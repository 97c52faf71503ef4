"""kiv-rank: rank a pool of images by KIV score, from stored detections to the
next batch to label. Only parses arguments and calls the Python API."""

from __future__ import annotations

import argparse
import sys
from concurrent.futures.process import BrokenProcessPool

from .columns import Columns
from .dependencies import check_pyarrow
from .errors import ImageFailed, InputError
from .processes import start_fork_server
from .uris import local_or_uri

PROG = "kiv-rank"
EPILOG = """exit status: 0 every image scored, 1 some image failed (the ranking is
still written, failed images last), 2 bad usage, unreadable input or an
aborted run (nothing written)."""


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


def _four_names(text: str) -> tuple[str, str, str, str]:
    names = tuple(name.strip() for name in text.split(","))
    if len(names) != 4 or not all(names):
        raise argparse.ArgumentTypeError(f"four comma-separated names are needed: {text!r}")
    return names  # type: ignore[return-value]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0], epilog=EPILOG)
    defaults = Columns()
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="Parquet (.parquet) or JSON Lines (.jsonl) files or directories of them")
    parser.add_argument("--out", type=local_or_uri,
                        help="output file: .csv, .parquet or .jsonl (default: CSV on stdout)")
    parser.add_argument("--top", type=_positive, metavar="K", help="keep the first K images")
    parser.add_argument("--plot", type=local_or_uri, metavar="PATH.png", help="draw the score distribution")
    # Left out unless given, for the library's defaults (0.5 and 0.05, as in KIV).
    parser.add_argument("--iou-threshold", type=float, default=argparse.SUPPRESS)
    parser.add_argument("--score-threshold", type=float, default=argparse.SUPPRESS)
    parser.add_argument("--workers", type=_positive, metavar="N",
                        help="scoring processes (default: the processors available)")
    parser.add_argument("--fail-fast", action="store_true", help="stop at the first image that fails")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    parser.add_argument("--dask", metavar="ADDRESS",
                        help="score on the Dask scheduler at ADDRESS, or on a local cluster with 'local'")
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
    from .plot import check_plot, plot_scores
    from .writing import check_target, write_ranking

    columns = Columns(args.image_column, args.box_columns, args.prob_column, args.uncertainty_column,
                      args.scale_column)
    thresholds = {name: getattr(args, name) for name in ("iou_threshold", "score_threshold") if name in args}
    if args.out is not None:
        check_target(args.out)
    if args.plot is not None:
        check_plot(args.plot)
    if args.dask:
        from .cluster import rank_dask_files

        ranking = rank_dask_files(args.paths, args.dask, args.workers, columns=columns, **thresholds,
                                  fail_fast=args.fail_fast, progress=False if args.quiet else None)
    else:
        ranking = api.rank_files(args.paths, columns=columns, **thresholds, workers=args.workers,
                                 fail_fast=args.fail_fast, progress=False if args.quiet else None)
    write_ranking(ranking.top(args.top), args.out)
    if args.plot is not None:
        plot_scores(ranking.table, args.top, args.plot)
    print(f"{PROG}: {ranking.summary()}", file=sys.stderr)
    return 1 if ranking.failed else 0


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return run(args)
    except InputError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 2
    except ImageFailed as error:
        print(f"{PROG}: {error} (--fail-fast: nothing written)", file=sys.stderr)
        return 1
    except BrokenProcessPool:
        print(f"{PROG}: a scoring process ended unexpectedly; nothing written", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; nothing written", file=sys.stderr)
        return 130
