"""The lvis API route at COCO-val size from files: vantorel.compat.lvis against the lvis package.

Writes an LVIS-style ground truth (5,000 images, 1,203 categories with
frequency groups, negative and not-exhaustive category lists per image) and a
results file, then runs, each in its own process, from the files: LVIS(path)
+ LVISResults(gt, path) + LVISEval(...).run() + print_results() through
vantorel.compat.lvis and through the lvis package, and
vantorel.evaluate(gt, results, lvis=True). The two vantorel routes alternate
--repeat times (medians); the table gives seconds, the peak growth of the
resident set, and both as multiples of vantorel.evaluate's.

Usage: python bench/bench_lvis_compat.py [--images 5000] [--per-image 100] [--types bbox segm] [--repeat 3]
                                         [--skip-lvis]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import synth

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


# One route in this process: prints [seconds, peak growth of the resident set in bytes, AP, printed text].
RUN_SCRIPT = r"""
import contextlib, io, json, logging, sys, time
import numpy as np

def memory():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return {key: int(fields[key].split()[0]) * 1024 for key in ("VmRSS", "VmHWM")}

route, gt, res, iou_type = sys.argv[1:5]
logging.getLogger("lvis").setLevel(logging.ERROR)
if not hasattr(np, "float"):
    np.float = float  # the lvis package still spells the removed alias
if route == "evaluate":
    from vantorel import evaluate
else:
    module = __import__("lvis" if route == "lvis" else "vantorel.compat.lvis", fromlist=["LVIS"])
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak from the current resident set
except OSError:
    pass
base = memory()["VmRSS"]
t = time.perf_counter()
out = io.StringIO()
if route == "evaluate":
    ap = float(evaluate(gt, res, iou_type, lvis=True).stats[0])
else:
    with contextlib.redirect_stdout(out):
        lv = module.LVIS(gt)
        ev = module.LVISEval(lv, module.LVISResults(lv, res), iou_type)
        ev.run()
        ev.print_results()
    ap = float(ev.results["AP"])
elapsed = time.perf_counter() - t
print(json.dumps([elapsed, memory()["VmHWM"] - base, ap, out.getvalue()]))
"""


def run_route(route: str, gt_path: str, res_path: str, iou_type: str) -> list:
    out = subprocess.run(
        [sys.executable, "-c", RUN_SCRIPT, route, gt_path, res_path, iou_type],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return json.loads(out.splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--per-image", type=int, default=100)
    ap.add_argument("--types", nargs="+", default=["bbox", "segm"])
    ap.add_argument("--repeat", type=int, default=3, help="alternating runs of each vantorel route (median)")
    ap.add_argument("--skip-lvis", action="store_true", help="leave out the lvis package (minutes per type)")
    args = ap.parse_args()
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
                f"{len(ds['annotations'])} ground truths, {len(dets)} detections "
                f"(results file {os.path.getsize(res_path) / 1e6:.0f} MB)"
            )
            del ds, dets
            runs: dict[str, list] = {"evaluate": [], "compat": []}
            for _ in range(args.repeat):
                for route in runs:
                    runs[route].append(run_route(route, gt_path, res_path, iou_type))
            if not args.skip_lvis:
                runs["lvis"] = [run_route("lvis", gt_path, res_path, iou_type)]
            got = {
                route: (float(np.median([r[0] for r in rs])), float(np.median([r[1] for r in rs])), rs[0][2], rs[0][3])
                for route, rs in runs.items()
            }
            base_t, base_m = got["evaluate"][0], got["evaluate"][1]
            names = {
                "evaluate": "vantorel.evaluate(lvis=True)",
                "compat": "vantorel.compat.lvis",
                "lvis": "lvis package",
            }
            print(f"{'route':>30} | {'seconds':>8} | {'x evaluate':>10} | {'peak +MB':>8} | {'x evaluate':>10}")
            for route, (t, m, _, _) in got.items():
                print(f"{names[route]:>30} | {t:8.2f} | {t / base_t:10.2f} | {m / 1e6:8.0f} | {m / base_m:10.2f}")
            if "lvis" in got:
                print(
                    f"lvis package / vantorel.evaluate(lvis=True): {got['lvis'][0] / base_t:.1f}x; "
                    f"lvis package / vantorel.compat.lvis: {got['lvis'][0] / got['compat'][0]:.1f}x; "
                    f"printed summaries equal: {got['lvis'][3] == got['compat'][3]}"
                )
            if len({v[2] for v in got.values()}) != 1:
                print(f"!! AP differs between routes: { {k: v[2] for k, v in got.items()} }")


if __name__ == "__main__":
    main()
