"""Bytes a multi-process COCO evaluation moves between ranks, per detection.

For each rank's share of the results (--ranks shares, split by image), three
payloads are pickled as ``torch.distributed.all_gather_object`` would:

- vantorel.compat COCOeval: the evaluator itself (results as a compact state);
- torchvision-style: pycocotools' per-image records, evaluate() on the rank's
  images, ``(imgIds, evalImgs)`` as its reference scripts gather them;
- the raw result dicts (what detectron2-style gathering ships).

On the bundled data (100 images) and on a synthetic COCO-val sized set
(--images, 100 box detections per image). Also the time to merge the gathered
evaluators on rank 0 and evaluate/accumulate/summarize.

Usage: python bench/bench_compat_merge.py [--images 5000] [--ranks 8]
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import io
import json
import os
import pickle
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pycocotools.coco
import pycocotools.cocoeval

import synth
from vantorel import compat

DATA = Path(__file__).resolve().parent.parent / "data"


def quiet(fn):
    with contextlib.redirect_stdout(io.StringIO()):
        return fn()


def shares(res, ranks):
    images = sorted({d["image_id"] for d in res})
    mine = [set(images[r::ranks]) for r in range(ranks)]
    return [[d for d in res if d["image_id"] in m] for m in mine], [sorted(m) for m in mine]


def measure(gt_path, res, iou_type, ranks):
    parts, image_sets = shares(res, ranks)
    n = len(res)
    gt = quiet(lambda: compat.COCO(gt_path))
    ours = [quiet(lambda p=p: compat.COCOeval(gt, gt.loadRes(copy.deepcopy(p)), iou_type)) for p in parts]
    ours_bytes = [pickle.dumps(e) for e in ours]
    ref_gt = quiet(lambda: pycocotools.coco.COCO(gt_path))
    ref_bytes = 0
    for p, ids in zip(parts, image_sets):
        ev = pycocotools.cocoeval.COCOeval(ref_gt, quiet(lambda p=p: ref_gt.loadRes(copy.deepcopy(p))), iou_type)
        ev.params.imgIds = ids
        quiet(ev.evaluate)
        ref_bytes += len(pickle.dumps((ids, np.asarray(ev.evalImgs))))
    raw_bytes = sum(len(pickle.dumps(p)) for p in parts)
    tic = time.perf_counter()
    gathered = [pickle.loads(b) for b in ours_bytes[1:]]
    merged = ours[0].merge(*gathered)
    quiet(lambda: (merged.evaluate(), merged.accumulate(), merged.summarize()))
    took = time.perf_counter() - tic
    total = sum(len(b) for b in ours_bytes)
    print(
        f"  {iou_type:5s} {n:>8d} detections, {ranks} ranks: compat COCOeval {total / n:7.1f} B/det "
        f"({total / 1e6:.2f} MB) | pycocotools evalImgs {ref_bytes / n:7.1f} B/det ({ref_bytes / 1e6:.2f} MB) | "
        f"raw dicts {raw_bytes / n:6.1f} B/det | rank-0 unpickle+merge+evaluate {took:.2f}s"
    )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--ranks", type=int, default=8)
    args = ap.parse_args()
    print("bundled data (instances_val2014_100):")
    for iou_type, name in (("bbox", "fakebbox"), ("segm", "fakesegm")):
        res = json.loads((DATA / f"instances_val2014_{name}100_results.json").read_text())
        measure(str(DATA / "instances_val2014_100.json"), res, iou_type, args.ranks)
    print(f"synthetic, {args.images} images:")
    dataset = synth.make_dataset(n_images=args.images)
    res = synth.make_results(dataset)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "gt.json")
        with open(path, "w") as f:
            json.dump(dataset, f)
        measure(path, res, "bbox", args.ranks)


if __name__ == "__main__":
    main()
