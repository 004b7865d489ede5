"""Whole evaluations from files at COCO-val size, one route per fresh process.

Side by side, from files written once into --dir (reused by later runs, so a
build can be compared with another on the same bytes):

- bbox: 500,000 box detections;
- segm with boxes: 500,000 RLE detections that carry "bbox";
- segm without boxes: the same detections without "bbox" (the reference
  API's own results format: box and area derived from the mask);
- LVIS mode: the box detections against the ground truth with LVIS image
  and category fields (federated filter and per-image cap of 300).

Each route runs `vantorel.evaluate(gt_path, dt_path, ...)` in a fresh
process (best time of --repeat runs; peak resident set growth over the
process after its imports, from /proc/self/status). Then the two ratios the
segm routes must meet: time within 1.2x and peak memory within 1.3x.

Usage: python bench/bench_routes.py [--dir /tmp/vantorel-bench-routes] [--images 5000] [--repeat 2]
                                    [--routes bbox segm-boxes segm lvis]

To compare two builds, install one elsewhere (pip install --target DIR .)
and run the script once with PYTHONPATH=DIR and once without.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np

import synth

COCO_VERTICES = (24, 64)

# One evaluation in this process: prints [seconds, peak growth bytes, AP].
RUN_SCRIPT = r"""
import json, sys, time
from vantorel import evaluate

def memory():
    # current and peak resident set, in bytes
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return {key: int(fields[key].split()[0]) * 1024 for key in ("VmRSS", "VmHWM")}

try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak from the current resident set
except OSError:
    pass
base = memory()["VmRSS"]
gt, dt, iou_type, lvis = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "1"
t = time.perf_counter()
res = evaluate(gt, dt, iou_type, lvis=lvis)
elapsed = time.perf_counter() - t
print(json.dumps([elapsed, memory()["VmHWM"] - base, float(res.stats[0])]))
"""


def write_json(path, value):
    tmp = path + ".part"
    with open(tmp, "w") as f:
        json.dump(value, f, separators=(",", ":"))
    os.replace(tmp, path)


def lvis_dataset(dataset, seed=5):
    """The COCO-style dataset with LVIS fields: negative and not-exhaustive
    categories per image, a frequency per category."""
    rng = np.random.default_rng(seed)
    cats = [c["id"] for c in dataset["categories"]]
    out = dict(dataset)
    out["images"] = []
    for img in dataset["images"]:
        img = dict(img)
        img["neg_category_ids"] = sorted(int(c) for c in rng.choice(cats, 4, replace=False))
        img["not_exhaustive_category_ids"] = [int(rng.choice(cats))] if rng.random() < 0.2 else []
        out["images"].append(img)
    out["categories"] = [dict(c, frequency="rcf"[i % 3]) for i, c in enumerate(dataset["categories"])]
    return out


def make_files(folder, n_images, per_image):
    """Paths of the files the routes read, generated where missing."""
    paths = {name: os.path.join(folder, name + ".json") for name in ("gt", "gt_lvis", "bbox", "segm_boxes", "segm")}
    if all(os.path.exists(p) for p in paths.values()):
        return paths
    os.makedirs(folder, exist_ok=True)
    t = time.perf_counter()
    dataset = synth.make_dataset(seed=0, n_images=n_images, segm=True, vertices=COCO_VERTICES)
    write_json(paths["gt"], dataset)
    write_json(paths["gt_lvis"], lvis_dataset(dataset))
    write_json(paths["bbox"], synth.make_results(dataset, seed=1, per_image=per_image))
    dets = synth.make_results(dataset, seed=1, per_image=per_image, segm=True)
    write_json(paths["segm_boxes"], dets)
    for d in dets:
        del d["bbox"]
    write_json(paths["segm"], dets)
    print(f"files generated in {time.perf_counter() - t:.0f} s")
    return paths


def run_route(gt, dt, iou_type, lvis, repeat):
    """(best seconds, largest peak growth in bytes, AP) over fresh processes."""
    runs = []
    for _ in range(repeat):
        out = subprocess.run(
            [sys.executable, "-c", RUN_SCRIPT, gt, dt, iou_type, "1" if lvis else "0"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        runs.append(json.loads(out))
    return min(r[0] for r in runs), max(r[1] for r in runs), runs[0][2]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", default="/tmp/vantorel-bench-routes")
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--per-image", type=int, default=100)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument(
        "--routes",
        nargs="+",
        default=["bbox", "segm-boxes", "segm", "lvis"],
        choices=["bbox", "segm-boxes", "segm", "lvis"],
    )
    args = ap.parse_args()

    print(
        f"{os.cpu_count()} CPUs, {len(os.sched_getaffinity(0))} usable; load average "
        + " ".join(f"{v:.2f}" for v in os.getloadavg())
    )
    paths = make_files(args.dir, args.images, args.per_image)
    routes = {
        "bbox": (paths["gt"], paths["bbox"], "bbox", False),
        "segm-boxes": (paths["gt"], paths["segm_boxes"], "segm", False),
        "segm": (paths["gt"], paths["segm"], "segm", False),
        "lvis": (paths["gt_lvis"], paths["bbox"], "bbox", True),
    }
    got = {}
    print(
        f"{'route':>12} {'results MB':>10} {'seconds':>8} {'peak MB':>8}  AP   (best of {args.repeat}, fresh processes)"
    )
    for name in args.routes:
        gt, dt, iou_type, lvis = routes[name]
        got[name] = run_route(gt, dt, iou_type, lvis, args.repeat)
        t, peak, ap50_95 = got[name]
        print(f"{name:>12} {os.path.getsize(dt) / 1e6:10.1f} {t:8.2f} {peak / 1e6:8.0f}  {ap50_95:.4f}")
    if "segm" in got and "segm-boxes" in got:
        time_ratio = got["segm"][0] / got["segm-boxes"][0]
        mem_ratio = got["segm"][1] / got["segm-boxes"][1]
        print(
            f"segm without boxes / with boxes: time {time_ratio:.2f}x (target <= 1.2), "
            f"peak memory {mem_ratio:.2f}x (target <= 1.3)"
        )


if __name__ == "__main__":
    main()
