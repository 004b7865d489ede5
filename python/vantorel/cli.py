"""The command line: ``vantorel GT RESULTS [options]`` (also ``python -m vantorel``).

Exit codes: 0 success; 2 usage error; 1 unusable input (one line on
stderr); 3 nothing could be evaluated (a warning on stderr). Every failure is
one line on stderr (nothing at all when stderr is closed), never a traceback;
an output file is written whole or not at all (a temporary file beside it,
renamed into place). A closed stdout takes no report, as a reader gone away.

The parser is built by ``build_parser`` and each output by its own function,
so a new option is an ``add_argument`` there and a few lines in ``run``.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import secrets
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any, NoReturn, TextIO

import numpy as np

from ._version import __version__
from .evaluation import evaluate
from .params import IOU_TYPES, Params
from .results import EvalResult

EXIT_OK, EXIT_INPUT, EXIT_USAGE, EXIT_NOTHING = 0, 1, 2, 3

# Beyond these the output arrays (thresholds x caps x ranges x categories x
# 101 recall points) stop being a summary and start exhausting memory.
MAX_THRESHOLDS = 101
MAX_CAPS = 20
MAX_AREA_RANGES = 20

PROG = "vantorel"


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse prints the usage to stdout when stderr is closed.
        if sys.stderr is not None:
            self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``vantorel`` command.

    Examples
    --------
    >>> args = build_parser().parse_args(["gt.json", "res.json", "--max-dets", "1,10,300"])
    >>> args.max_dets
    [1, 10, 300]
    """
    ap = _Parser(
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
    params.add_argument(
        "--max-dets",
        type=_int_list,
        metavar="N,N,...",
        help="detection caps per image (default 1,10,100; 20 for keypoints; 300 with --lvis)",
    )
    params.add_argument(
        "--iou-thrs", type=_thresholds, metavar="LO:HI:STEP|T,T,...", help="IoU thresholds (default 0.5:0.95:0.05)"
    )
    params.add_argument(
        "--area-rng",
        type=_area_ranges,
        metavar="LABEL=LO:HI,...",
        help="area ranges in square pixels, e.g. all=0:1e10,small=0:1024,medium=1024:9216,"
        "large=9216:1e10 (the summary reads the labels all, small, medium, large)",
    )
    params.add_argument(
        "--img-ids", metavar="FILE", help="evaluate only these images: a JSON array of ids, or one id per line"
    )
    params.add_argument(
        "--kpt-sigmas",
        type=_sigmas,
        metavar="S,S,...|@FILE",
        help="keypoint OKS constants, one per keypoint, or @FILE holding a JSON array "
        "(default COCO's 17; the COCO-WholeBody types but keypoints_body need them)",
    )
    params.add_argument(
        "--no-use-area",
        action="store_true",
        help="keypoints: scale the similarity by 0.53 x the ground truth's box area, not its area",
    )
    pan = ap.add_argument_group("panoptic")
    pan.add_argument(
        "--panoptic",
        action="store_true",
        help="panoptic quality (PQ) of COCO panoptic JSON files and their PNG segment maps",
    )
    pan.add_argument("--gt-dir", metavar="DIR", help="ground-truth PNG folder (default: GT path without .json)")
    pan.add_argument("--pred-dir", metavar="DIR", help="prediction PNG folder (default: RESULTS path without .json)")
    out = ap.add_argument_group("output")
    out.add_argument(
        "--json",
        metavar="FILE",
        help="write the summary, the per-category table and the "
        "parameters as JSON to FILE ('-' for stdout, which then carries nothing else)",
    )
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
    if len(values) > MAX_CAPS:
        raise argparse.ArgumentTypeError(f"at most {MAX_CAPS} detection caps, got {len(values)}")
    return values


def _sigmas(text: str) -> np.ndarray:
    try:
        if text.startswith("@"):
            with open(text[1:], encoding="utf-8") as f:
                values = np.array(json.load(f), dtype=np.float64)
        else:
            values = np.array([float(v) for v in text.split(",")])
    except (OSError, ValueError, TypeError) as err:
        raise argparse.ArgumentTypeError(f"expected comma-separated numbers or @FILE, got {text!r} ({err})") from None
    if values.ndim != 1 or not values.size or not (np.isfinite(values) & (values > 0)).all():
        raise argparse.ArgumentTypeError(f"keypoint sigmas must be a list of positive numbers, got {text!r}")
    return values


def _thresholds(text: str) -> np.ndarray:
    """``lo:hi:step`` as the reference spaces its thresholds, or a list."""
    try:
        if ":" in text:
            lo, hi, step = (float(v) for v in text.split(":"))
            if not step > 0 or not lo <= hi or not math.isfinite(hi - lo):
                raise ValueError
            count = np.round((hi - lo) / step) + 1
            if count > MAX_THRESHOLDS:
                raise argparse.ArgumentTypeError(f"at most {MAX_THRESHOLDS} IoU thresholds, {text!r} gives {count:.0f}")
            values = np.linspace(lo, hi, int(count), endpoint=True)
        else:
            values = np.array([float(v) for v in text.split(",")])
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LO:HI:STEP or comma-separated numbers, got {text!r}") from None
    if len(values) > MAX_THRESHOLDS:
        raise argparse.ArgumentTypeError(f"at most {MAX_THRESHOLDS} IoU thresholds, got {len(values)}")
    if not ((values >= 0) & (values <= 1)).all():
        raise argparse.ArgumentTypeError(f"IoU thresholds lie in [0, 1], got {text!r}")
    return values


def _area_ranges(text: str) -> list[tuple[str, list[float]]]:
    ranges = []
    try:
        for item in text.split(","):
            label, rng = item.split("=")
            lo, hi = (float(v) for v in rng.split(":"))
            # Infinite bounds cannot be written as strict JSON, and the
            # evaluation should not run only for its output to fail.
            if not label or not lo <= hi or not math.isfinite(lo) or not math.isfinite(hi):
                raise ValueError
            ranges.append((label.strip(), [lo, hi]))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LABEL=LO:HI,... with finite LO <= HI, got {text!r}") from None
    if len(ranges) > MAX_AREA_RANGES:
        raise argparse.ArgumentTypeError(f"at most {MAX_AREA_RANGES} area ranges, got {len(ranges)}")
    return ranges


def read_img_ids(path: str) -> list[Any]:
    """Image ids from a file: a JSON array of numbers and strings, or one id
    per line (an int where the line is one written plainly, else the line's
    text: "000123" stays a string). ValueError for anything else (null,
    true, nested arrays, objects).

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
        try:
            ids = json.loads(text)
        except RecursionError:
            raise ValueError("its JSON is nested too deeply") from None
        if not isinstance(ids, list):
            raise ValueError(f"the image id file '{path}' holds no JSON array")
        for i, v in enumerate(ids):
            if isinstance(v, bool) or not isinstance(v, (int, float, str)):
                raise ValueError(f"item {i} is {json.dumps(v)[:40]}, not an image id")
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
    if args.kpt_sigmas is not None:
        p.kpt_sigmas = args.kpt_sigmas
    if args.no_use_area:
        p.use_area = False
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


def _say(line: str) -> None:
    """One line on stderr, or nothing when stderr is closed (``print`` would
    fall back to stdout, mixing a diagnostic into the output)."""
    if sys.stderr is None:
        return
    with contextlib.suppress(OSError, ValueError):
        print(line, file=sys.stderr)


@contextlib.contextmanager
def _output(path: str) -> Iterator[TextIO]:
    """The file at ``path`` or stdout for '-' (left open). A file is written to
    a temporary file beside it and renamed into place only when complete, so
    a failure leaves the old file, or none, but never a part of one."""
    if path == "-":
        if sys.stdout is None:
            raise OSError("standard output is closed")
        yield sys.stdout
        return
    directory, name = os.path.split(os.path.abspath(path))
    # Opened exclusively by name (not mkstemp) so that the umask sets its mode.
    temporary = os.path.join(directory, f".{name}.{os.getpid()}.{secrets.token_hex(4)}.part")
    try:
        out = open(temporary, "x", encoding="utf-8", newline="")  # noqa: SIM115 -- closed by the with below
    except OSError as err:
        raise OSError(err.errno, err.strerror, path) from None
    try:
        with out:
            yield out
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


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
        if args.img_ids is not None and not params.img_ids:
            # An empty list would mean "every image" to the evaluation.
            _say(f"{PROG}: warning: nothing could be evaluated: the image id file '{args.img_ids}' lists no image")
            return EXIT_NOTHING
        if args.analysis or args.report is not None:
            result, finish_analysis = analysis_for_cli(args, params)
        else:
            result, finish_analysis = evaluate(args.gt, args.results, params=params, lvis=args.lvis), None
    except (OSError, ValueError, KeyError, TypeError, OverflowError, IndexError) as err:
        _say(_error_line(err))
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
        _say(_error_line(err))
        return EXIT_INPUT
    if not args.quiet and "-" not in (args.json, args.csv) and sys.stdout is not None:
        print_report(result, args, elapsed)
    if finish_analysis is not None and finish_analysis() != EXIT_OK:
        return EXIT_INPUT
    if not result.evaluated:
        _say(
            f"{PROG}: warning: nothing could be evaluated: no category has both ground truth and "
            "detections on the evaluated images"
        )
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
    parser = build_parser()
    args = parser.parse_args(argv)  # usage errors exit with 2 here
    if args.json == "-" and args.csv == "-":
        parser.error("--json - and --csv - cannot share stdout")
    try:
        code = run(args)
        if sys.stdout is not None:
            sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`| head`): the rest of the output is unwanted,
        # and the interpreter's own flush at exit must not complain either.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    return code


# ---------------------------------------------------------------- analysis options


def analysis_for_cli(args: argparse.Namespace, params: Params) -> tuple[EvalResult, Callable[[], int]]:
    """What ``--analysis`` and ``--report DIR`` add to the command line: the
    evaluation (from the analysis' own single loading) and a step, run after
    the usual output, that prints the analysis and writes the report;
    it returns 0, or 1 after an error line.

    Examples
    --------
    >>> result, finish = analysis_for_cli(args, params)       # doctest: +SKIP
    """
    from .analysis.report import analyze, format_analysis, write_report

    if args.lvis:
        raise ValueError("--analysis and --report work on COCO-style evaluation, not with --lvis")
    analysis = analyze(args.gt, args.results, params=params)

    def finish() -> int:
        if args.analysis and "-" not in (args.json, args.csv):  # stdout holds a file then
            print()
            print(format_analysis(analysis))
        if args.report is not None:
            try:
                page = write_report(analysis, args.report)
            except (ImportError, OSError) as err:
                print(f"{PROG}: error: {err}", file=sys.stderr)
                return EXIT_INPUT
            if not args.quiet and "-" not in (args.json, args.csv):
                print(f"\nreport written to {page}")
        return EXIT_OK

    return analysis["result"], finish
