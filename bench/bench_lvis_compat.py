"""The lvis API route at COCO-val size from files: vantorel.compat.lvis against the lvis package.

Writes an LVIS-style ground truth (5,000 images, 1,203 categories with
frequency groups, negative and not-exhaustive category lists per image) and a
results file, then times, from the files, LVIS(path) + LVISResults(gt, path)
+ LVISEval(...).run() + print_results() through vantorel.compat.lvis and
through the lvis package, and vantorel.evaluate(gt, results, lvis=True) on the
same files. Reading eval_imgs afterwards is timed separately.

Usage: python bench/bench_lvis_compat.py [--images 5000] [--per-image 100] [--types bbox segm] [--skip-lvis]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import logging
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import synth
from vantorel import evaluate
from vantorel.compat import lvis as ours

N_CATS = 1203


def lvis_dataset(n_images: int) -> dict:
    """synth's COCO-style set with LVIS's per-image and per-category fields."""
    ds = synth.make_dataset(seed=0, n_images=n_images, n_cats=N_CATS, gt_per_image=12.0, segm=True)
    rng = np.random.default_rng(5)
    for c in ds["categories"]:
        c["frequency"] = str(rng.choice(["r", "c", "f"], p=[0.3, 0.4, 0.3]))
    present: dict = {}
    for a in ds["annotations"]:
        a.pop("iscrowd", None)
        if isinstance(a["segmentation"], dict):  # LVIS has no crowd regions
            x, y, w, h = a["bbox"]
            a["segmentation"] = [[x, y, x + w, y, x + w, y + h, x, y + h]]
        present.setdefault(a["image_id"], set()).add(a["category_id"])
    for img in ds["images"]:
        have = present.get(img["id"], set())
        neg = [int(c) for c in rng.choice(N_CATS, 8, replace=False) + 1 if int(c) not in have]
        img["neg_category_ids"] = neg
        img["not_exhaustive_category_ids"] = [c for c in sorted(have) if rng.random() < 0.1]
    return ds


def lvis_results(ds: dict, per_image: int, segm: bool) -> list:
    """synth's detections, most of them in categories the image verifies."""
    dets = synth.make_results(ds, seed=1, per_image=per_image, segm=segm)
    rng = np.random.default_rng(6)
    neg = {img["id"]: img["neg_category_ids"] for img in ds["images"]}
    for d in dets:
        if neg[d["image_id"]] and rng.random() < 0.2:
            d["category_id"] = int(rng.choice(neg[d["image_id"]]))
        if segm:
            del d["bbox"]
    return dets


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def api_route(module, gt_path: str, res_path: str, iou_type: str):
    def go():
        with contextlib.redirect_stdout(io.StringIO()) as out:
            gt = module.LVIS(gt_path)
            ev = module.LVISEval(gt, module.LVISResults(gt, res_path), iou_type)
            ev.run()
            ev.print_results()
        return ev, out.getvalue()

    return timed(go)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--per-image", type=int, default=100)
    ap.add_argument("--types", nargs="+", default=["bbox", "segm"])
    ap.add_argument("--skip-lvis", action="store_true", help="leave out the lvis package (minutes per type)")
    args = ap.parse_args()
    logging.getLogger("lvis").setLevel(logging.ERROR)
    if not hasattr(np, "float"):
        np.float = float  # noqa: NPY001 -- the lvis package still spells the removed alias
    with tempfile.TemporaryDirectory() as tmp:
        for iou_type in args.types:
            segm = iou_type == "segm"
            ds = lvis_dataset(args.images)
            dets = lvis_results(ds, args.per_image, segm)
            gt_path, res_path = os.path.join(tmp, "gt.json"), os.path.join(tmp, f"res_{iou_type}.json")
            with open(gt_path, "w") as f:
                json.dump(ds, f)
            with open(res_path, "w") as f:
                json.dump(dets, f)
            print(
                f"== {iou_type}: {len(ds['images'])} images, {len(ds['categories'])} categories, "
                f"{len(ds['annotations'])} ground truths, {len(dets)} detections"
            )
            t_eval, res = timed(lambda g=gt_path, r=res_path, t=iou_type: evaluate(g, r, t, lvis=True))
            print(f"vantorel.evaluate(lvis=True)  {t_eval:8.2f} s")
            t_ours, (ev, printed) = api_route(ours, gt_path, res_path, iou_type)
            print(f"vantorel.compat.lvis          {t_ours:8.2f} s   {t_ours / t_eval:5.2f}x vantorel.evaluate")
            t_imgs, _ = timed(lambda e=ev: e.eval_imgs)
            print(f"  + reading eval_imgs          {t_imgs:8.2f} s")
            if not args.skip_lvis:
                import lvis

                t_ref, (ref, ref_printed) = api_route(lvis, gt_path, res_path, iou_type)
                same = np.array_equal(ref.eval["precision"], ev.eval["precision"]) and ref_printed == printed
                print(
                    f"lvis package                  {t_ref:8.2f} s   compat is {t_ref / t_ours:5.1f}x faster; equal: {same}"
                )
            del ds, dets, res, ev


if __name__ == "__main__":
    main()
