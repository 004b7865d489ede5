"""The pycocotools-compatible API at COCO-val size, from files, side by side.

Generates (seeded, in a temporary directory) a ground-truth file with
polygons (5,000 images, ~36,000 annotations), a bbox results file and a segm
results file (RLE masks with boxes), then times for each kind the route an
existing training script takes:

    gt = COCO(path); dt = gt.loadRes(path)
    E = COCOeval(gt, dt, kind); E.evaluate(); E.accumulate(); E.summarize()

through vantorel.compat, pycocotools and faster-coco-eval, and the same with
``E.evalImgs`` read afterwards (made on demand by vantorel.compat, always made
by the others). ``vantorel.evaluate(gt_path, res_path, kind)`` on the same
files is the baseline of the "x evaluate" column. Printed output of the
evaluators is silenced; all routes must give the same statistics.

Usage: python bench/bench_compat.py [--images 5000] [--per-image 100] [--types bbox segm]
                                    [--repeat 1] [--skip-pycocotools] [--skip-faster]
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import io
import json
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import synth
import vantorel
import vantorel.compat

COCO_VERTICES = (24, 64)


def write(path, obj):
    with open(path, "w") as f:
        json.dump(obj, f)


def make_files(tmp, images, per_image, types):
    gt = synth.make_dataset(seed=0, n_images=images, segm=True, vertices=COCO_VERTICES)
    paths = {"gt": os.path.join(tmp, "gt.json")}
    write(paths["gt"], gt)
    for kind in types:
        res = synth.make_results(gt, seed=1, per_image=per_image, segm=kind == "segm")
        paths[kind] = os.path.join(tmp, f"{kind}.json")
        write(paths[kind], res)
    return paths


def drop_in(modules, gt_path, res_path, kind, read_eval_imgs):
    """The COCO API route; returns the stats."""
    COCO, COCOeval = modules
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO(gt_path)
        E = COCOeval(gt, gt.loadRes(res_path), kind)
        E.evaluate()
        E.accumulate()
        E.summarize()
        if read_eval_imgs:
            len(E.evalImgs)
    return np.asarray(E.stats)


def timed(fn, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--per-image", type=int, default=100)
    ap.add_argument("--types", nargs="+", default=["bbox", "segm"])
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--skip-pycocotools", action="store_true")
    ap.add_argument("--skip-faster", action="store_true")
    args = ap.parse_args()

    routes = [("vantorel.compat", (vantorel.compat.COCO, vantorel.compat.COCOeval))]
    if not args.skip_faster:
        import faster_coco_eval

        routes.append(("faster-coco-eval", (faster_coco_eval.COCO, faster_coco_eval.COCOeval_faster)))
    if not args.skip_pycocotools:
        from pycocotools.coco import COCO
        from pycocotools.cocoeval import COCOeval

        routes.append(("pycocotools", (COCO, COCOeval)))

    with tempfile.TemporaryDirectory() as tmp:
        t0 = time.perf_counter()
        paths = make_files(tmp, args.images, args.per_image, args.types)
        print(
            f"data: {args.images} images, {args.per_image} detections per image, "
            f"written in {time.perf_counter() - t0:.0f} s (best of {args.repeat})"
        )
        for kind in args.types:
            gt_path, res_path = paths["gt"], paths[kind]
            base, base_stats = timed(
                lambda g=gt_path, r=res_path, k=kind: vantorel.evaluate(g, r, k).stats, args.repeat
            )
            print(f"\n{kind}: vantorel.evaluate(gt_path, res_path) {base:.2f} s")
            print(f"{'route':>18} | {'evalImgs':>8} | {'seconds':>8} | {'x evaluate':>10} | {'vs this route':>13}")
            rows = []
            for name, modules in routes:
                for read in (False, True):
                    t, stats = timed(
                        lambda m=modules, g=gt_path, r=res_path, k=kind, rd=read: drop_in(m, g, r, k, rd), args.repeat
                    )
                    tol = 0 if name != "faster-coco-eval" else 1e-12
                    if not np.allclose(stats, base_stats, rtol=0, atol=tol):
                        print(f"!! {name} statistics differ: {stats} vs {base_stats}")
                    rows.append((name, read, t))
            ours = {read: t for name, read, t in rows if name == "vantorel.compat"}
            for name, read, t in rows:
                speed = "" if name == "vantorel.compat" else f"{t / ours[read]:11.1f}x"
                print(f"{name:>18} | {'read' if read else '-':>8} | {t:8.2f} | {t / base:10.2f} | {speed:>13}")


if __name__ == "__main__":
    main()
