"""The native route from files against its targets, every tool in its own process.

At COCO-val size (5,000 images, 100 detections an image: 500,000), for bbox,
segm (RLE detections with boxes) and keypoints, side by side in one run:

- `vantorel.evaluate(gt_path, results_path, kind)` in a fresh process per run
  (median and best of --repeat; peak resident set growth over the process
  after its imports, from /proc/self/status, against the results file's size);
- pycocotools and faster-coco-eval doing COCO(path) + loadRes(path) +
  evaluate + accumulate + summarize, each in its own fresh process
  (--peer-repeat runs, best taken), with their stats compared to ours;

then the ratios against the targets (bbox 150x / 35x, segm 60x / 30x,
keypoints 40x / 25x; peak at most 2x the results file).

With --scaling, bbox alone at 0.5M, 2M, 8M and 20M detections (the 5,000
images tiled, ids shifted): time, CPU time (all threads) and peak per million
detections, which stay flat when growth is linear (on a loaded machine the
CPU time is the steadier figure).

Files are written once into --dir and reused, so two builds can be compared
on the same bytes; --baseline DIR (a build installed with pip install
--target DIR .) times that build too, its runs alternating with this one's.

Usage: python bench/bench_native.py [--dir /tmp/vantorel-bench-native] [--kinds bbox segm keypoints]
                                    [--repeat 5] [--peer-repeat 1] [--skip-peers] [--baseline DIR]
       python bench/bench_native.py --scaling [--sizes 0.5 2 8 20] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import synth

COCO_VERTICES = (24, 64)
TARGETS = {"bbox": (150, 35), "segm": (60, 30), "keypoints": (40, 25)}
PEAK_TARGET = 2.0

# One evaluation in this process: prints [seconds, peak growth in bytes, stats,
# CPU seconds of all its threads].
OURS = r"""
import json, sys, time
from vantorel import evaluate

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024

try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak from the current resident set
except OSError:
    pass
base = status("VmRSS")
t, cpu = time.perf_counter(), time.process_time()
res = evaluate(sys.argv[1], sys.argv[2], sys.argv[3])
elapsed, cpu = time.perf_counter() - t, time.process_time() - cpu
print(json.dumps([elapsed, status("VmHWM") - base, [float(s) for s in res.stats], cpu]))
"""

# One peer evaluation: argv = module (pycocotools or faster_coco_eval), gt, results, kind.
PEER = r"""
import contextlib, io, json, sys, time
tool, gt_path, dt_path, kind = sys.argv[1:5]
if tool == "pycocotools":
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval
else:
    from faster_coco_eval import COCO
    from faster_coco_eval import COCOeval_faster as COCOeval
with contextlib.redirect_stdout(io.StringIO()):
    t = time.perf_counter()
    gt = COCO(gt_path)
    dt = gt.loadRes(dt_path)
    ev = COCOeval(gt, dt, kind)
    ev.evaluate()
    ev.accumulate()
    ev.summarize()
    elapsed = time.perf_counter() - t
print(json.dumps([elapsed, [float(s) for s in ev.stats]]))
"""


def write_json(path, value):
    tmp = path + ".part"
    with open(tmp, "w") as f:
        json.dump(value, f)
    os.replace(tmp, path)


def make_files(folder, n_images, per_image, kinds):
    """{kind: (gt path, results path)}, generated where missing."""
    os.makedirs(folder, exist_ok=True)
    paths = {
        "bbox": (os.path.join(folder, "gt.json"), os.path.join(folder, "bbox.json")),
        "segm": (os.path.join(folder, "gt.json"), os.path.join(folder, "segm.json")),
        "keypoints": (os.path.join(folder, "gt_keypoints.json"), os.path.join(folder, "keypoints.json")),
    }
    t = time.perf_counter()
    if any(not os.path.exists(p) for k in kinds if k != "keypoints" for p in paths[k]):
        dataset = synth.make_dataset(seed=0, n_images=n_images, segm=True, vertices=COCO_VERTICES)
        write_json(paths["bbox"][0], dataset)
        for kind in ("bbox", "segm"):
            if kind in kinds and not os.path.exists(paths[kind][1]):
                dets = synth.make_results(dataset, seed=1, per_image=per_image, segm=kind == "segm")
                write_json(paths[kind][1], dets)
    if "keypoints" in kinds and any(not os.path.exists(p) for p in paths["keypoints"]):
        dataset = synth.make_dataset(seed=0, n_images=n_images, keypoints=True)
        write_json(paths["keypoints"][0], dataset)
        write_json(paths["keypoints"][1], synth.make_results(dataset, seed=1, per_image=per_image, keypoints=True))
    if time.perf_counter() - t > 1:
        print(f"files generated in {time.perf_counter() - t:.0f} s")
    return {k: paths[k] for k in kinds}


def tiled_files(folder, base_gt, base_dt, tiles):
    """The base files repeated `tiles` times over new images (ids shifted by
    a multiple of the largest), written chunk by chunk."""
    gt_path = os.path.join(folder, f"gt_x{tiles}.json")
    dt_path = os.path.join(folder, f"bbox_x{tiles}.json")
    if os.path.exists(gt_path) and os.path.exists(dt_path):
        return gt_path, dt_path
    with open(base_gt) as f:
        dataset = json.load(f)
    step = max(img["id"] for img in dataset["images"]) + 1
    ann_step = max(a["id"] for a in dataset["annotations"]) + 1
    tmp = gt_path + ".part"
    with open(tmp, "w") as f:
        f.write('{"categories": ' + json.dumps(dataset["categories"]))
        for key, shift in (("images", {"id": step}), ("annotations", {"id": ann_step, "image_id": step})):
            f.write(f', "{key}": [')
            for k in range(tiles):
                chunk = json.dumps(
                    [dict(r, **{name: r[name] + k * by for name, by in shift.items()}) for r in dataset[key]]
                )
                f.write(("," if k else "") + chunk[1:-1])
            f.write("]")
        f.write("}")
    os.replace(tmp, gt_path)
    del dataset
    with open(base_dt) as f:
        dets = json.load(f)
    tmp = dt_path + ".part"
    with open(tmp, "w") as f:
        f.write("[")
        for k in range(tiles):
            chunk = json.dumps([dict(d, image_id=d["image_id"] + k * step) for d in dets])
            f.write(("," if k else "") + chunk[1:-1])
        f.write("]")
    os.replace(tmp, dt_path)
    return gt_path, dt_path


def run_json(script, args, pythonpath=None):
    env = None if pythonpath is None else {**os.environ, "PYTHONPATH": pythonpath}
    out = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, env=env)
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip().splitlines()[-1] if out.stderr.strip() else "failed")
    return json.loads(out.stdout)


def summary(runs):
    times = [r[0] for r in runs]
    return (
        statistics.median(times),
        min(times),
        max(r[1] for r in runs),
        runs[0][2],
        statistics.median(r[3] for r in runs),
    )


def ours(gt, dt, kind, repeat, baseline=None):
    """(median seconds, best seconds, largest peak growth, stats, median CPU seconds) over fresh
    processes, for this build and, given a baseline build's directory, for
    that one too (runs alternating, so both see the same machine load)."""
    runs, base_runs = [], []
    for _ in range(repeat):
        if baseline:
            base_runs.append(run_json(OURS, [gt, dt, kind], baseline))
        runs.append(run_json(OURS, [gt, dt, kind]))
    return summary(runs), summary(base_runs) if baseline else None


def mb(n):
    return n / 1e6


def compare_kinds(args):
    paths = make_files(args.dir, args.images, args.per_image, args.kinds)
    peers = [] if args.skip_peers else ["pycocotools", "faster_coco_eval"]
    rows = []
    for kind in args.kinds:
        gt, dt = paths[kind]
        size = os.path.getsize(dt)
        (median, best, peak, stats, cpu), base = ours(gt, dt, kind, args.repeat, args.baseline)
        print(
            f"== {kind}: results {mb(size):.0f} MB; vantorel median {median:.3f} s, best {best:.3f} s "
            f"(of {args.repeat}; CPU {cpu:.3f} s); peak +{mb(peak):.0f} MB = {peak / size:.2f}x the file "
            f"(target <= {PEAK_TARGET})"
        )
        if base:
            print(
                f"   baseline build: median {base[0]:.3f} s, best {base[1]:.3f} s (CPU {base[4]:.3f} s); peak "
                f"+{mb(base[2]):.0f} MB = {base[2] / size:.2f}x; stats equal to this build's: {base[3] == stats}"
            )
        ratios = []
        for tool, target in zip(peers, TARGETS[kind]):
            try:
                got = [run_json(PEER, [tool, gt, dt, kind]) for _ in range(args.peer_repeat)]
            except RuntimeError as err:
                print(f"   {tool:17s} failed: {err}")
                continue
            t = min(g[0] for g in got)
            same = got[0][1][: len(stats)] == stats
            ratio = t / median
            ratios.append(ratio)
            verdict = "met" if ratio >= target else "NOT met"
            was = f"; baseline {t / base[0]:.1f}x" if base else ""
            print(
                f"   {tool:17s} {t:8.2f} s  vantorel {ratio:6.1f}x faster (median; target {target}x: {verdict}{was})"
                f"  stats equal: {same}"
            )
        rows.append((kind, median, peak / size, ratios))
    print("\nsummary: kind, vantorel median s, peak / file, x pycocotools, x faster-coco-eval")
    for kind, median, peak_ratio, ratios in rows:
        print(f"   {kind:10s} {median:7.3f} {peak_ratio:6.2f} " + " ".join(f"{r:7.1f}" for r in ratios))


def scaling(args):
    base_gt, base_dt = make_files(args.dir, args.images, args.per_image, ["bbox"])["bbox"]
    base = args.images * args.per_image
    print(f"bbox scaling from {base / 1e6:g}M detections (fresh process per run, median of {args.repeat})")
    print(
        f"{'detections':>11} {'file MB':>8} {'seconds':>8} {'CPU s':>8} {'peak MB':>8} {'s / M':>7} {'CPU s / M':>9} "
        f"{'peak / file':>11}"
    )
    for millions in args.sizes:
        tiles = max(1, round(millions * 1e6 / base))
        gt, dt = (base_gt, base_dt) if tiles == 1 else tiled_files(args.dir, base_gt, base_dt, tiles)
        (median, _, peak, _, cpu), _ = ours(gt, dt, "bbox", args.repeat)
        n = tiles * base
        size = os.path.getsize(dt)
        print(
            f"{n / 1e6:10.1f}M {mb(size):8.0f} {median:8.2f} {cpu:8.2f} {mb(peak):8.0f} {median / (n / 1e6):7.3f} "
            f"{cpu / (n / 1e6):9.3f} {peak / size:11.2f}"
        )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", default="/tmp/vantorel-bench-native")
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--per-image", type=int, default=100)
    ap.add_argument("--kinds", nargs="+", default=["bbox", "segm", "keypoints"], choices=list(TARGETS))
    ap.add_argument("--repeat", type=int, default=5, help="fresh vantorel processes (median reported)")
    ap.add_argument("--peer-repeat", type=int, default=1)
    ap.add_argument("--skip-peers", action="store_true")
    ap.add_argument("--baseline", help="directory of another build (pip install --target DIR .) timed alongside")
    ap.add_argument("--scaling", action="store_true", help="bbox at --sizes million detections instead")
    ap.add_argument("--sizes", nargs="+", type=float, default=[0.5, 2, 8, 20])
    args = ap.parse_args()
    print(
        f"{os.cpu_count()} CPUs, {len(os.sched_getaffinity(0))} usable; load average "
        + " ".join(f"{v:.2f}" for v in os.getloadavg())
    )
    if args.scaling:
        scaling(args)
    else:
        compare_kinds(args)


if __name__ == "__main__":
    main()
