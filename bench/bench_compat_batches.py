"""The per-batch loop of torchvision's reference detection scripts, side by side.

torchvision's ``CocoEvaluator`` (copied into many training repositories)
evaluates each batch as it comes: for every batch of images it loads the
batch's detections with ``loadRes``, sets ``params.imgIds`` to the batch's
images, calls ``evaluate()`` and keeps ``np.asarray(E.evalImgs)``; the
records of all batches are merged and accumulated once at the end. This
times that loop on a seeded synthetic set (box detections, --per-image per
image) through vantorel.compat and pycocotools, and checks that both give
the same records for the first batch. (faster-coco-eval is left out: its
evalImgs after evaluate() is not the reference's per-image list that this
loop reshapes.)

Usage: python bench/bench_compat_batches.py [--images 5000] [--batch 8] [--batches 100] [--per-image 100]

Loop times are for --batches batches and extrapolated to the whole set; the
last column is the final merge, accumulate() and summarize() over the records
of the timed batches (all of them with --batches 625 at the default size).
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import io
import os
import pickle
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import synth


def modules(name):
    if name == "vantorel":
        from vantorel.compat import COCO, COCOeval
    else:
        from pycocotools.coco import COCO
        from pycocotools.cocoeval import COCOeval
    return COCO, COCOeval


def batch_loop(name, dataset, by_image, batch, batches):
    """Seconds per phase over the batches, and the first batch's records."""
    COCO, COCOeval = modules(name)
    images = sorted(by_image)
    spent = {"loadRes": 0.0, "evaluate": 0.0, "evalImgs": 0.0}
    first = None
    seen, kept = [], []
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO()
        gt.dataset = dataset
        gt.createIndex()
        E = COCOeval(gt, iouType="bbox")
        for b in range(batches):
            ids = images[batch * b : batch * (b + 1)]
            dets = [dict(d) for i in ids for d in by_image[i]]
            t0 = time.perf_counter()
            E.cocoDt = gt.loadRes(dets)
            E.params.imgIds = list(ids)
            t1 = time.perf_counter()
            E.evaluate()
            t2 = time.perf_counter()
            records = np.asarray(E.evalImgs).reshape(-1, len(E.params.areaRng), len(E.params.imgIds))
            t3 = time.perf_counter()
            spent["loadRes"] += t1 - t0
            spent["evaluate"] += t2 - t1
            spent["evalImgs"] += t3 - t2
            if first is None:
                first = records
            seen.extend(ids)
            kept.append(records)
        # The end of the loop: the batches' records merged by image, handed
        # back, accumulated and summarised once.
        t0 = time.perf_counter()
        merged, index = np.unique(np.asarray(seen), return_index=True)
        E.evalImgs = list(np.concatenate(kept, 2)[..., index].flatten())
        E.params.imgIds = list(merged)
        E._paramsEval = copy.deepcopy(E.params)
        E.accumulate()
        E.summarize()
        spent["accumulate"] = time.perf_counter() - t0
    return spent, first, E.stats


def same_records(a, b):
    if a.shape != b.shape:
        return False
    for x, y in zip(a.ravel(), b.ravel()):
        if (x is None) != (y is None):
            return False
        if x is not None and any(not np.array_equal(np.asarray(x[k]), np.asarray(y[k])) for k in y):
            return False
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--batches", type=int, default=100)
    ap.add_argument("--per-image", type=int, default=100)
    ap.add_argument("--only", help=argparse.SUPPRESS)  # one tool, in this process (the parent's child)
    ap.add_argument("--out", help=argparse.SUPPRESS)
    args = ap.parse_args()

    dataset = synth.make_dataset(seed=0, n_images=args.images)
    by_image = {}
    for det in synth.make_results(dataset, seed=1, per_image=args.per_image):
        by_image.setdefault(det["image_id"], []).append(det)
    batches = min(args.batches, -(-len(by_image) // args.batch))
    whole = -(-len(by_image) // args.batch)
    if args.only:
        np.unique(np.arange(3))  # NumPy's first unique() imports numpy.ma: not timed
        spent, first, stats = batch_loop(args.only, dataset, by_image, args.batch, batches)
        with open(args.out, "wb") as f:
            pickle.dump((spent, first, stats), f)
        return
    names = ["vantorel", "pycocotools"]
    print(
        f"{len(by_image)} images, batches of {args.batch}, {args.per_image} boxes per image; "
        f"{batches} of {whole} batches timed"
    )
    print(
        f"{'':>18} {'loadRes':>9} {'evaluate':>9} {'evalImgs':>9} {'per batch':>10} {'whole set':>10} "
        f"{'accumulate':>11}"
    )
    reference = None
    overall = {}
    for name in names:
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "run.pickle")
            forwarded = [f"--{k.replace('_', '-')}={v}" for k, v in vars(args).items() if k not in ("only", "out")]
            subprocess.run([sys.executable, __file__, *forwarded, f"--only={name}", f"--out={out}"], check=True)
            with open(out, "rb") as f:
                spent, first, stats = pickle.load(f)
        total = spent["loadRes"] + spent["evaluate"] + spent["evalImgs"]
        overall[name] = total + spent["accumulate"]
        print(
            f"{name:>18} {spent['loadRes']:8.2f}s {spent['evaluate']:8.2f}s {spent['evalImgs']:8.2f}s "
            f"{total / batches * 1e3:8.1f}ms {total / batches * whole:9.1f}s {spent['accumulate']:10.2f}s"
        )
        if reference is None:
            reference = (first, stats)
        elif not same_records(first, reference[0]) or not np.array_equal(stats, reference[1]):
            print(f"  {name}: records of the first batch or the final statistics differ from vantorel's")
    print(
        f"whole loop of the timed batches with the final accumulate: vantorel {overall['vantorel']:.2f} s, "
        f"pycocotools {overall['pycocotools']:.2f} s ({overall['pycocotools'] / overall['vantorel']:.1f}x)"
    )


if __name__ == "__main__":
    main()
