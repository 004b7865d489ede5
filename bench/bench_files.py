"""Loading and whole evaluations from files at COCO-val size.

Generates, in a temporary directory, a ground-truth file with polygons
(5,000 images, ~36,000 annotations, ~25 MB), a results file of 500,000 bbox
detections and a segm results file (RLE masks with boxes), then reports:

(a) the ground-truth file through load_json, json.load and orjson;
(b) parse_json_only (reading and the syntax check) in MB/s;
(c) load_compact_bbox(results=True) on the bbox results: time, and peak and
    kept memory measured as RSS in a fresh process per loader (tracemalloc
    does not see native buffers), against json.load and load_json; and the
    handle's snapshot_bytes + column_bytes against file size + 64 B per row;
(d) whole evaluations from the files (load ground truth, load results,
    evaluate, summarise) against pycocotools and faster-coco-eval doing
    COCO(path) + loadRes(path) + evaluate + accumulate + summarize.

Usage: python bench/bench_files.py [--images 5000] [--per-image 100] [--segm-per-image 100]
                                   [--types bbox segm] [--repeat 3] [--skip-pycocotools]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import synth
from bench_eval import compare
from bench_json import best, json_load, orjson, orjson_load
from vantorel import _zerlin

# COCO val's polygons are larger than the generator's default ones.
COCO_VERTICES = (24, 64)

# Runs one loader in a fresh process and prints the growth of its peak and
# current resident set over the baseline after the imports.
MEMORY_SCRIPT = r"""
import gc, json, sys
from vantorel import _zerlin
sys.path.insert(0, sys.argv[3])
from bench_json import json_load, orjson_load

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024

loaders = {
    "load_compact_bbox": lambda p: _zerlin.load_compact_bbox(p, results=True),
    "load_json": _zerlin.load_json,
    "json.load": json_load,
    "orjson.loads": orjson_load,
}
gc.disable()
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak from the current resident set
except OSError:
    pass
base = status("VmRSS")
kept = loaders[sys.argv[1]](sys.argv[2])
print(json.dumps([status("VmHWM") - base, status("VmRSS") - base]))
"""


def mb(n):
    return n / 1e6


def memory_of(loader, path):
    """(peak growth, kept growth) in bytes of one load in a fresh process."""
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_SCRIPT, loader, path, os.path.dirname(os.path.abspath(__file__))],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return json.loads(out)


def timed_without_gc(fn, repeat):
    gc.disable()
    try:
        return best(fn, repeat)
    finally:
        gc.enable()


def report_gt_loading(gt_path, repeat):
    size = os.path.getsize(gt_path)
    print(f"\n(a) ground truth {mb(size):.1f} MB into Python objects (best of {repeat}, collector off)")
    rows = [
        ("load_json", timed_without_gc(lambda: _zerlin.load_json(gt_path), repeat)),
        ("json.load", timed_without_gc(lambda: json_load(gt_path), repeat)),
    ]
    if orjson is not None:
        rows.append(("orjson.loads", timed_without_gc(lambda: orjson_load(gt_path), repeat)))
    ours = rows[0][1]
    for name, t in rows:
        rel = "" if name == "load_json" else f"   load_json is {t / ours:5.2f}x faster"
        print(f"{name:>20}: {t * 1e3:8.1f} ms {mb(size) / t:7.0f} MB/s{rel}")
    if orjson is None:
        print("orjson not installed: skipped")
    print(f"\n(b) syntax check only (best of {repeat})")
    for name, fn in (("read_file_only", _zerlin.read_file_only), ("parse_json_only", _zerlin.parse_json_only)):
        t = best(lambda: fn(gt_path), repeat)
        print(f"{name:>20}: {t * 1e3:8.1f} ms {mb(size) / t:7.0f} MB/s")


def report_results_loading(dt_path, repeat):
    size = os.path.getsize(dt_path)
    _, handle = _zerlin.load_compact_bbox(dt_path, results=True)
    n = handle.annotation_count
    print(
        f"\n(c) results {mb(size):.1f} MB, {n} detections (time best of {repeat}, collector off;"
        " memory: RSS growth in a fresh process)"
    )
    loaders = [
        ("load_compact_bbox", lambda: _zerlin.load_compact_bbox(dt_path, results=True)),
        ("load_json", lambda: _zerlin.load_json(dt_path)),
        ("json.load", lambda: json_load(dt_path)),
    ]
    ours = None
    for name, fn in loaders:
        t = timed_without_gc(fn, repeat)
        ours = ours or t
        peak, kept = memory_of(name, dt_path)
        rel = "" if name == "load_compact_bbox" else f"   compact is {t / ours:5.1f}x faster"
        print(f"{name:>20}: {t * 1e3:8.1f} ms  peak +{mb(peak):7.1f} MB  kept +{mb(kept):7.1f} MB{rel}")
    held = handle.snapshot_bytes + handle.column_bytes
    bound = size + 64 * n
    verdict = "within" if held <= bound else "OVER"
    print(
        f"{'handle holds':>20}: {mb(held):8.1f} MB (snapshot {mb(handle.snapshot_bytes):.1f} + columns "
        f"{mb(handle.column_bytes):.1f}) {verdict} file size + 64 B/row = {mb(bound):.1f} MB"
    )


def report_evaluations(gt_path, dt_paths, types, repeat, skip_pycocotools):
    print(
        f"\n(d) whole evaluation from files: load ground truth, load results, evaluate, summarise "
        f"(vantorel best of {repeat}; peers once)"
    )
    for iou_type in types:
        print(f"== {iou_type}: results {mb(os.path.getsize(dt_paths[iou_type])):.1f} MB")
        compare(gt_path, dt_paths[iou_type], iou_type, repeat, skip_pycocotools)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--per-image", type=int, default=100, help="bbox detections per image")
    ap.add_argument("--segm-per-image", type=int, default=100, help="segm detections per image")
    ap.add_argument("--types", nargs="+", default=["bbox", "segm"], choices=["bbox", "segm"])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-pycocotools", action="store_true")
    args = ap.parse_args()

    print(
        f"{os.cpu_count()} CPUs, {len(os.sched_getaffinity(0))} usable; load average "
        + " ".join(f"{v:.2f}" for v in os.getloadavg())
    )
    with tempfile.TemporaryDirectory() as tmp:
        t = time.perf_counter()
        dataset = synth.make_dataset(seed=0, n_images=args.images, segm=True, vertices=COCO_VERTICES)
        gt_path = os.path.join(tmp, "instances.json")
        with open(gt_path, "w") as f:
            json.dump(dataset, f, separators=(",", ":"))
        dt_paths = {"bbox": os.path.join(tmp, "bbox_results.json"), "segm": os.path.join(tmp, "segm_results.json")}
        for iou_type, per_image in (("bbox", args.per_image), ("segm", args.segm_per_image)):
            if iou_type == "bbox" or iou_type in args.types:
                dets = synth.make_results(dataset, seed=1, per_image=per_image, segm=iou_type == "segm")
                with open(dt_paths[iou_type], "w") as f:
                    json.dump(dets, f)
                del dets
        print(
            f"files: {len(dataset['images'])} images, {len(dataset['annotations'])} ground truths "
            f"(generated in {time.perf_counter() - t:.0f} s)"
        )
        del dataset

        report_gt_loading(gt_path, args.repeat)
        report_results_loading(dt_paths["bbox"], args.repeat)
        report_evaluations(gt_path, dt_paths, args.types, args.repeat, args.skip_pycocotools)


if __name__ == "__main__":
    main()
