"""The whole analysis (PR and F1 curves, confusion matrix, TIDE breakdown,
COCO analysis breakdown) against the plain evaluation, from files at
COCO-val size, and against tidecv.

Generates in a temporary directory a ground-truth file (5,000 images, 80
categories in 10 supercategories, ~36,000 boxes) and 100 bbox detections
per image (500,000), then reports, best of --repeat runs:

(a) vantorel.evaluate from the two files;
(b) vantorel.analysis.report.analyze from the two files (loading, one
    evaluation, every analysis), with the time of each part; (a) and (b)
    alternate, so a busy machine slows both alike;
(c) tidecv on the first --tide-images images (its pure-Python matching
    takes minutes at full size; --tide-images 5000 runs it all), against
    our error_breakdown on the same subset, with both tables.

Usage: python bench/bench_analysis.py [--images 5000] [--per-image 100] [--repeat 3] [--tide-images 500]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import synth
from vantorel import evaluate
from vantorel.analysis import (
    coco_breakdown,
    confusion_matrix,
    error_breakdown,
    f1_curve,
    open_session,
    pr_curves,
)
from vantorel.analysis.report import analyze


def best_of(repeat: int, fn: Callable[[], Any]) -> tuple[float, Any]:
    times, out = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return min(times), out


def write_case(folder: str, images: int, per_image: int) -> tuple[str, str]:
    dataset = synth.make_dataset(seed=0, n_images=images)
    for i, c in enumerate(dataset["categories"]):
        c["supercategory"] = f"group{i // 8}"
    for a in dataset["annotations"]:
        x, y, w, h = a["bbox"]  # tidecv's loader wants a mask even for boxes
        a["segmentation"] = [[x, y, x + w, y, x + w, y + h, x, y + h]]
    dets = synth.make_results(dataset, seed=1, per_image=per_image)
    gt_path, res_path = os.path.join(folder, "gt.json"), os.path.join(folder, "dets.json")
    with open(gt_path, "w") as f:
        json.dump(dataset, f)
    with open(res_path, "w") as f:
        json.dump(dets, f)
    return gt_path, res_path


def parts(gt: str, res: str) -> dict[str, float]:
    """Time of each analysis on one shared session (run once each)."""
    out = {}
    start = time.perf_counter()
    s = open_session(gt, res, "bbox", extra_thrs=(0.75, 0.5, 0.1), need_pairs=True)
    out["load + build"] = time.perf_counter() - start
    for name, fn in (
        ("evaluation run", lambda: s.run()),
        ("pr_curves", lambda: pr_curves(gt, res, session=s)),
        ("f1_curve", lambda: f1_curve(gt, res, session=s)),
        ("confusion_matrix", lambda: confusion_matrix(gt, res, session=s)),
        ("error_breakdown", lambda: error_breakdown(gt, res, session=s)),
        ("coco_breakdown", lambda: coco_breakdown(gt, res, session=s)),
    ):
        start = time.perf_counter()
        fn()
        out[name] = time.perf_counter() - start
    return out


def subset(gt: str, res: str, folder: str, n_images: int) -> tuple[str, str]:
    with open(gt) as f:
        dataset = json.load(f)
    with open(res) as f:
        dets = json.load(f)
    keep = {img["id"] for img in dataset["images"][:n_images]}
    dataset["images"] = [i for i in dataset["images"] if i["id"] in keep]
    dataset["annotations"] = [a for a in dataset["annotations"] if a["image_id"] in keep]
    dets = [d for d in dets if d["image_id"] in keep]
    paths = os.path.join(folder, "gt_sub.json"), os.path.join(folder, "dets_sub.json")
    for path, obj in zip(paths, (dataset, dets)):
        with open(path, "w") as f:
            json.dump(obj, f)
    return paths


def run_tidecv(gt: str, res: str) -> dict[str, Any]:
    from tidecv import TIDE, datasets

    tide = TIDE()
    tide.evaluate(datasets.COCO(gt), datasets.COCOResult(res), mode=TIDE.BOX, name="r")
    return {"ap50": tide.runs["r"].ap, **tide.get_main_errors()["r"]}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--per-image", type=int, default=100)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--tide-images", type=int, default=500)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        gt, res = write_case(folder, args.images, args.per_image)
        print(f"{args.images} images, {args.per_image} detections per image, files in a temporary directory")
        # Alternated, so that a machine busy with other work slows both alike.
        t_eval = t_all = float("inf")
        for _ in range(args.repeat):
            t_eval = min(t_eval, best_of(1, lambda: evaluate(gt, res, "bbox"))[0])
            t, everything = best_of(1, lambda: analyze(gt, res, "bbox"))
            t_all = min(t_all, t)
        print(f"(a) plain evaluation from files      {t_eval:8.3f} s")
        print(f"(b) whole analysis from files        {t_all:8.3f} s   ({t_all / t_eval:.2f}x the evaluation)")
        for name, value in parts(gt, res).items():
            print(f"      {name:<22s} {value:8.3f} s")
        print(f"    AP50 {everything['errors']['ap50']:.2f}; dAP {fmt(everything['errors']['dAP'])}")

        sub_gt, sub_res = subset(gt, res, folder, args.tide_images) if args.tide_images < args.images else (gt, res)
        try:
            t_tide, theirs = best_of(1, lambda: run_tidecv(sub_gt, sub_res))
        except ImportError:
            print("(c) tidecv is not installed")
            return
        t_ours, ours = best_of(args.repeat, lambda: error_breakdown(sub_gt, sub_res, categories="tide"))
        t_ours_all, _ = best_of(args.repeat, lambda: analyze(sub_gt, sub_res))
        print(
            f"(c) first {min(args.tide_images, args.images)} images: tidecv {t_tide:.3f} s, "
            f"our error_breakdown {t_ours:.3f} s ({t_tide / t_ours:.0f}x faster), "
            f"our whole analysis {t_ours_all:.3f} s"
        )
        names = {"Cls": "cls", "Loc": "loc", "Both": "both", "Dupe": "dupe", "Bkg": "bkg", "Miss": "miss"}
        print(f"    tidecv   AP50 {theirs['ap50']:.2f}; dAP {fmt({v: theirs[k] for k, v in names.items()})}")
        print(f"    vantorel AP50 {ours['ap50']:.2f}; dAP {fmt(ours['dAP'])}  (categories='tide')")


def fmt(d: dict[str, float]) -> str:
    return "  ".join(f"{k} {v:.2f}" for k, v in d.items())


if __name__ == "__main__":
    main()
