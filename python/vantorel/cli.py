"""The command line: vantorel GT RESULTS --iou-type bbox"""

import argparse
import sys
import time

from .evaluation import evaluate
from .params import IOU_TYPES
from .results import format_category_table


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m vantorel", description="COCO / LVIS evaluation of a results file.")
    ap.add_argument("gt", help="ground-truth dataset JSON file")
    ap.add_argument("results", help="results JSON file (a top-level array of detections)")
    ap.add_argument("--iou-type", default="bbox", choices=IOU_TYPES)
    ap.add_argument("--lvis", action="store_true", help="LVIS federated evaluation")
    ap.add_argument("--per-category", action="store_true", help="also print the AP of every category")
    ap.add_argument("--timings", action="store_true", help="also print the time of each phase")
    args = ap.parse_args(argv)
    start = time.perf_counter()
    try:
        result = evaluate(args.gt, args.results, args.iou_type, lvis=args.lvis)
    except (OSError, ValueError, KeyError, TypeError) as err:
        print(f"error: {err}", file=sys.stderr)
        for note in getattr(err, "__notes__", ()):
            print(f"  {note}", file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - start
    for line in result.summary_lines():
        print(line)
    if args.per_category:
        print()
        print(format_category_table(result.category_ap()))
    if args.timings:
        print()
        for key, value in result.timings.items():
            print(f"{key:>15s} {value * 1e3:9.2f} ms")
        print(f"{'total':>15s} {elapsed * 1e3:9.2f} ms")
    return 0

