"""The command line: ``vantorel GT RESULTS [options]`` (also ``python -m vantorel``).

Exit codes: 0 success; 2 usage error; 1 unusable input (one line on
stderr); 3 nothing could be evaluated (a warning on stderr).

The parser is built by ``build_parser`` and each output by its own function,
so a new option is an ``add_argument`` there and a few lines in ``run``.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import sys
import time
from collections.abc import Iterator, Sequence
from typing import Any, TextIO

import numpy as np

from ._version import __version__
from .evaluation import evaluate
from .params import IOU_TYPES, Params
from .results import EvalResult

EXIT_OK, EXIT_INPUT, EXIT_USAGE, EXIT_NOTHING = 0, 1, 2, 3

PROG = "vantorel"


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``vantorel`` command.

    Examples
    --------
    >>> args = build_parser().parse_args(["gt.json", "res.json", "--max-dets", "1,10,300"])
    >>> args.max_dets
    [1, 10, 300]
    """
    ap = argparse.ArgumentParser(
        prog=PROG,
        description="COCO / LVIS evaluation of a results file against a ground-truth dataset.",
        epilog="exit codes: 0 success, 1 unusable input, 2 usage error, 3 nothing could be evaluated",
    )
    ap.add_argument("gt", help="ground-truth dataset JSON file")
    ap.add_argument("results", help="results JSON file (a top-level array of detections)")
    ap.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    ap.add_argument("--iou-type", default="bbox", choices=IOU_TYPES)
    ap.add_argument("--lvis", action="store_true", help="LVIS federated evaluation")
    params = ap.add_argument_group("parameters")
    params.add_argument("--max-dets", type=_int_list, metavar="N,N,...",
                        help="detection caps per image (default 1,10,100; 20 for keypoints; 300 with --lvis)")
    params.add_argument("--iou-thrs", type=_thresholds, metavar="LO:HI:STEP|T,T,...",
                        help="IoU thresholds (default 0.5:0.95:0.05)")
    params.add_argument("--area-rng", type=_area_ranges, metavar="LABEL=LO:HI,...",
                        help="area ranges in square pixels, e.g. all=0:1e10,small=0:1024,medium=1024:9216,"
                             "large=9216:1e10 (the summary reads the labels all, small, medium, large)")
    params.add_argument("--img-ids", metavar="FILE",
                        help="evaluate only these images: a JSON array of ids, or one id per line")
    pan = ap.add_argument_group("panoptic")
    pan.add_argument("--panoptic", action="store_true",
                     help="panoptic quality (PQ) of COCO panoptic JSON files and their PNG segment maps")
    pan.add_argument("--gt-dir", metavar="DIR", help="ground-truth PNG folder (default: GT path without .json)")
    pan.add_argument("--pred-dir", metavar="DIR", help="prediction PNG folder (default: RESULTS path without .json)")
    out = ap.add_argument_group("output")
    out.add_argument("--json", metavar="FILE", help="write the summary, the per-category table and the "
                     "parameters as JSON to FILE ('-' for stdout, which then carries nothing else)")
    out.add_argument("--csv", metavar="FILE", help="write the per-category table as CSV to FILE ('-' for stdout)")
    out.add_argument("--per-category", action="store_true", help="also print the per-category table")
    out.add_argument("--timings", action="store_true", help="also print the time of each phase")
    out.add_argument("--quiet", "-q", action="store_true", help="print no summary (files and warnings still)")
    out.add_argument("--analysis", action="store_true", help="also print the error breakdown and best-F1 thresholds")
    out.add_argument("--report", metavar="DIR", help="write an HTML report with pictures into DIR (needs matplotlib)")
    return ap


def _int_list(text: str) -> list[int]:
    try:
        values = [int(v) for v in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected comma-separated integers, got {text!r}") from None
    if not values or min(values) < 1:
        raise argparse.ArgumentTypeError(f"detection caps must be positive, got {text!r}")
    return values


def _thresholds(text: str) -> np.ndarray:
    """``lo:hi:step`` as the reference spaces its thresholds, or a list."""
    try:
        if ":" in text:
            lo, hi, step = (float(v) for v in text.split(":"))
            if step <= 0 or hi < lo:
                raise ValueError
            values = np.linspace(lo, hi, int(np.round((hi - lo) / step)) + 1, endpoint=True)
        else:
            values = np.array([float(v) for v in text.split(",")])
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LO:HI:STEP or comma-separated numbers, got {text!r}") from None
    if not ((values >= 0) & (values <= 1)).all():
        raise argparse.ArgumentTypeError(f"IoU thresholds lie in [0, 1], got {text!r}")
    return values


def _area_ranges(text: str) -> list[tuple[str, list[float]]]:
    ranges = []
    try:
        for item in text.split(","):
            label, rng = item.split("=")
            lo, hi = (float(v) for v in rng.split(":"))
            if not label or not lo <= hi < math.inf:
                raise ValueError
            ranges.append((label.strip(), [lo, hi]))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LABEL=LO:HI,..., got {text!r}") from None
    return ranges


def read_img_ids(path: str) -> list[Any]:
    """Image ids from a file: a JSON array (ids of any JSON type), or one id
    per line (an int where the line is one written plainly, else the line's
    text: "000123" stays a string).

    Examples
    --------
    >>> import tempfile
    >>> with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
    ...     _ = f.write("42\\nimg-7\\n0042\\n")
    >>> read_img_ids(f.name)
    [42, 'img-7', '0042']
    """
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if text.lstrip().startswith("["):
        ids = json.loads(text)
        if not isinstance(ids, list):
            raise ValueError(f"the image id file '{path}' holds no JSON array")
        return ids
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return [int(v) if _is_int(v) else v for v in lines]


def _is_int(text: str) -> bool:
    try:
        return str(int(text)) == text
    except ValueError:
        return False


def params_from_args(args: argparse.Namespace) -> Params:
    """The evaluation parameters that the options ask for.

    Examples
    --------
    >>> params_from_args(build_parser().parse_args(["gt.json", "res.json", "--iou-thrs", "0.5,0.75"])).iou_thrs
    array([0.5 , 0.75])
    """
    p = Params.for_type(args.iou_type, lvis=args.lvis)
    if args.max_dets is not None:
        p.max_dets = args.max_dets
    if args.iou_thrs is not None:
        p.iou_thrs = args.iou_thrs
    if args.area_rng is not None:
        p.area_labels = [label for label, _ in args.area_rng]
        p.area_rng = [rng for _, rng in args.area_rng]
    if args.img_ids is not None:
        try:
            p.img_ids = read_img_ids(args.img_ids)
        except (OSError, ValueError) as err:
            err.add_note(f"while reading the image id file '{args.img_ids}'")
            raise
    return p


def _error_line(err: BaseException) -> str:
    text = err.args[0] if isinstance(err, KeyError) and err.args else str(err)
    notes = getattr(err, "__notes__", [])
    return f"{PROG}: error: {text}" + "".join(f" ({note})" for note in notes)


@contextlib.contextmanager
def _output(path: str) -> Iterator[TextIO]:
    """The file at ``path``, or stdout for '-' (left open)."""
    if path == "-":
        yield sys.stdout
        return
    with open(path, "w", encoding="utf-8", newline="") as out:
        yield out


def write_json(result: EvalResult, path: str) -> None:
    """Writes ``result.to_dict()`` to ``path`` ('-': stdout), as strict JSON.

    Examples
    --------
    >>> write_json(evaluate("gt.json", "results.json"), "summary.json")  # doctest: +SKIP
    """
    with _output(path) as out:
        json.dump(result.to_dict(), out, indent=2, allow_nan=False)
        out.write("\n")


def write_csv(result: EvalResult, path: str) -> None:
    """Writes the per-category table to ``path`` ('-': stdout) as CSV.

    Examples
    --------
    >>> write_csv(evaluate("gt.json", "results.json"), "per_category.csv")  # doctest: +SKIP
    """
    with _output(path) as out:
        result.per_category().write_csv(out)


def print_report(result: EvalResult, args: argparse.Namespace, elapsed: float) -> None:
    """The text output: summary lines, and the table and timings when asked for.

    Examples
    --------
    >>> print_report(result, build_parser().parse_args(["gt.json", "res.json"]), 0.5)  # doctest: +SKIP
    """
    for line in result.summary_lines():
        print(line)
    if args.per_category:
        print()
        print(result.per_category().format())
    if args.timings:
        print()
        for key, value in result.timings.items():
            print(f"{key:>15s} {value * 1e3:9.2f} ms")
        print(f"{'total':>15s} {elapsed * 1e3:9.2f} ms")


def run(args: argparse.Namespace) -> int:
    """Evaluates as the parsed options ask and writes every requested output.

    Examples
    --------
    >>> run(build_parser().parse_args(["gt.json", "res.json", "--quiet"]))  # doctest: +SKIP
    0
    """
    if args.panoptic:
        from .panoptic import run_cli

        return run_cli(args, _error_line, _output)
    start = time.perf_counter()
    try:
        params = params_from_args(args)
        if args.analysis or args.report is not None:
            from .analysis.report import analysis_for_cli

            result, finish_analysis = analysis_for_cli(args, params)
        else:
            result, finish_analysis = evaluate(args.gt, args.results, params=params, lvis=args.lvis), None
    except (OSError, ValueError, KeyError, TypeError, OverflowError, IndexError) as err:
        print(_error_line(err), file=sys.stderr)
        return EXIT_INPUT
    elapsed = time.perf_counter() - start
    try:
        if args.json is not None:
            write_json(result, args.json)
        if args.csv is not None:
            write_csv(result, args.csv)
    except BrokenPipeError:
        raise  # a reader gone away is not an input error: main ends quietly
    except OSError as err:
        print(_error_line(err), file=sys.stderr)
        return EXIT_INPUT
    if not args.quiet and "-" not in (args.json, args.csv):
        print_report(result, args, elapsed)
    if finish_analysis is not None and finish_analysis() != EXIT_OK:
        return EXIT_INPUT
    if not result.evaluated:
        print(f"{PROG}: warning: nothing could be evaluated: no category has both ground truth and "
              "detections on the evaluated images", file=sys.stderr)
        return EXIT_NOTHING
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line and returns its exit code.

    Examples
    --------
    >>> main(["data/instances_val2014_100.json", "data/instances_val2014_fakebbox100_results.json",
    ...       "--json", "summary.json", "--quiet"])  # doctest: +SKIP
    0
    """
    args = build_parser().parse_args(argv)  # usage errors exit with 2 here
    try:
        code = run(args)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`| head`): the rest of the output is unwanted,
        # and the interpreter's own flush at exit must not complain either.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    return code
