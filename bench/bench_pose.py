"""CrowdPose and COCO-WholeBody evaluation from files: vantorel against
xtcocotools (run as a black box in its own environment, NumPy 1).

Generates in a temporary directory:

- a CrowdPose-size set: --crowd-images images (8,000) with --people people
  (30,000; 14 keypoints each, crowd indexes over [0, 1]) and --per-image
  results an image (20);
- a COCO-WholeBody-size set: --wb-images images (5,000) with --wb-people
  people (6,400; 133 keypoints in five parts) and --wb-per-image results an
  image (5), evaluated in each of the six whole-body types as MMPose does.

and reports, best of --repeat runs (loading included, from the files):

(a) vantorel.evaluate(..., "keypoints_crowd"), and
    vantorel.evaluate_wholebody (the six whole-body types, one reading);
(b) the drop-in vantorel.compat.xtcocotools (COCO, loadRes, COCOeval) for
    keypoints_crowd and for the six whole-body types;
(c) xtcocotools itself on the same files, once (minutes at full size), and
    the speed-ups.

Usage: python bench/bench_pose.py [--crowd-images 8000] [--people 30000] [--per-image 20]
       [--wb-images 5000] [--wb-people 6400] [--wb-per-image 5] [--repeat 3]
       [--oracle-python /path/to/python-with-xtcocotools] [--skip-oracle]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import subprocess
import tempfile
import time
from collections.abc import Callable
from typing import Any

import numpy as np

WHOLEBODY = {"keypoints_body": 17, "keypoints_foot": 6, "keypoints_face": 68, "keypoints_lefthand": 21,
             "keypoints_righthand": 21, "keypoints_wholebody": 133}  # fmt: skip
PARTS = {"keypoints": 17, "foot_kpts": 6, "face_kpts": 68, "lefthand_kpts": 21, "righthand_kpts": 21}
CROWD_SIGMAS = [0.079, 0.079, 0.072, 0.072, 0.062, 0.062, 0.107, 0.107, 0.087, 0.087, 0.089, 0.089, 0.079, 0.079]

# Runs in the oracle's environment: argv = kind, gt, results, sigmas json; prints seconds as JSON.
ORACLE = r"""
import contextlib, io, json, sys, time
import numpy as np
from xtcocotools.coco import COCO
from xtcocotools.cocoeval import COCOeval
kind, gt_path, res_path, sigmas = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
out = {}
with contextlib.redirect_stdout(io.StringIO()):
    start = time.perf_counter()
    gt = COCO(gt_path)
    dt = gt.loadRes(res_path)
    for t, s in sigmas.items():
        E = COCOeval(gt, dt, t, np.array(s), use_area=True)
        E.evaluate(); E.accumulate(); E.summarize()
        out[t] = list(map(float, E.stats))
out["seconds"] = time.perf_counter() - start
print(json.dumps(out))
"""


def best_of(repeat: int, fn: Callable[[], Any]) -> tuple[float, Any]:
    times, out = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return min(times), out


def person(rng: np.random.Generator, w: int, h: int, parts: dict[str, int]) -> dict[str, Any]:
    bw, bh = rng.uniform(20, w / 3), rng.uniform(40, h / 2)
    x, y = rng.uniform(0, w - bw), rng.uniform(0, h - bh)
    a: dict[str, Any] = {"bbox": [x, y, bw, bh], "area": bw * bh * 0.8, "iscrowd": 0}
    for part, n in parts.items():
        xs, ys = x + rng.random(n) * bw, y + rng.random(n) * bh
        v = rng.choice([0, 1, 2], n, p=[0.2, 0.2, 0.6]) if rng.random() < 0.85 else np.zeros(n, dtype=int)
        a[part] = np.column_stack([xs, ys, v]).ravel().tolist()
    a["num_keypoints"] = int(sum(1 for v in a["keypoints"][2::3] if v > 0))
    return a


def write_set(
    folder: str, name: str, images: int, people: int, per_image: int, parts: dict[str, int], crowd: bool
) -> tuple[str, str]:
    rng = np.random.default_rng(0)
    imgs = [{"id": i + 1, "width": 640, "height": 480} for i in range(images)]
    if crowd:
        for img in imgs:
            img["crowdIndex"] = round(float(rng.random()), 2)
    owner = rng.integers(1, images + 1, people)
    anns = []
    for k in range(people):
        a = person(rng, 640, 480, parts)
        a.update({"id": k + 1, "image_id": int(owner[k]), "category_id": 1})
        anns.append(a)
    by_image: dict[int, list[dict[str, Any]]] = {}
    for a in anns:
        by_image.setdefault(a["image_id"], []).append(a)
    res = []
    for img in imgs:
        near = by_image.get(img["id"], [])
        for _ in range(per_image):
            if near and rng.random() < 0.7:
                src = near[int(rng.integers(len(near)))]
                d = {p: [v + rng.normal(0, 4) if j % 3 < 2 else 1.0 for j, v in enumerate(src[p])] for p in parts}
            else:
                d = {p: v for p, v in person(rng, 640, 480, parts).items() if p in parts}
            d.update({"image_id": img["id"], "category_id": 1, "score": float(rng.random())})
            for p in parts:
                if p != "keypoints":
                    d[p.replace("_kpts", "_score")] = float(rng.random())
            if len(parts) > 1:
                d["wholebody_score"] = float(rng.random())
            res.append(d)
    gt = {"images": imgs, "annotations": anns, "categories": [{"id": 1, "name": "person"}]}
    gt_path, res_path = os.path.join(folder, f"{name}_gt.json"), os.path.join(folder, f"{name}_res.json")
    with open(gt_path, "w") as f:
        json.dump(gt, f)
    with open(res_path, "w") as f:
        json.dump(res, f)
    return gt_path, res_path


def dropin(gt_path: str, res_path: str, sigmas: dict[str, list[float]]) -> dict[str, list[float]]:
    from vantorel.compat.xtcocotools.coco import COCO
    from vantorel.compat.xtcocotools.cocoeval import COCOeval

    out = {}
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO(gt_path)
        dt = gt.loadRes(res_path)
        for t, s in sigmas.items():
            E = COCOeval(gt, dt, t, np.array(s), use_area=True)
            E.evaluate()
            E.accumulate()
            E.summarize()
            out[t] = list(map(float, E.stats))
    return out


def native(gt_path: str, res_path: str, sigmas: np.ndarray) -> dict[str, list[float]]:
    import warnings

    from vantorel import evaluate_wholebody

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a missing part score, said as xtcocotools says it
        out = evaluate_wholebody(gt_path, res_path, sigmas)
    return {t: list(map(float, r.stats)) for t, r in out.items()}


def oracle(python: str, gt_path: str, res_path: str, sigmas: dict[str, list[float]]) -> dict[str, Any]:
    done = subprocess.run(
        [python, "-c", ORACLE, "x", gt_path, res_path, json.dumps(sigmas)], capture_output=True, text=True, check=True
    )
    result: dict[str, Any] = json.loads(done.stdout.strip().splitlines()[-1])
    return result


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--crowd-images", type=int, default=8000)
    ap.add_argument("--people", type=int, default=30000)
    ap.add_argument("--per-image", type=int, default=20)
    ap.add_argument("--wb-images", type=int, default=5000)
    ap.add_argument("--wb-people", type=int, default=6400)
    ap.add_argument("--wb-per-image", type=int, default=5)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument(
        "--oracle-python", default=os.environ.get("VANTOREL_XTCOCOTOOLS_PYTHON", "build/xtcocotools-oracle/bin/python")
    )
    ap.add_argument("--skip-oracle", action="store_true")
    ap.add_argument("--sets", default="crowd,wholebody", help="which sets to run (comma-separated)")
    args = ap.parse_args()
    sets = args.sets.split(",")
    with tempfile.TemporaryDirectory() as folder:
        if "crowd" in sets:
            crowd(args, folder)
        if "wholebody" in sets:
            wholebody(args, folder)


def crowd(args: Any, folder: str) -> None:
    from vantorel import Params, evaluate

    crowd_parts = {"keypoints": 14}
    gt, res = write_set(folder, "crowd", args.crowd_images, args.people, args.per_image, crowd_parts, True)
    print(
        f"CrowdPose-size: {args.crowd_images} images, {args.people} people, "
        f"{args.crowd_images * args.per_image} results"
    )
    p = Params.for_type("keypoints_crowd")
    p.kpt_sigmas = np.array(CROWD_SIGMAS)
    t_eval, result = best_of(args.repeat, lambda: evaluate(gt, res, params=p))
    sig = {"keypoints_crowd": CROWD_SIGMAS}
    t_drop, ours = best_of(args.repeat, lambda: dropin(gt, res, sig))
    print(f"  vantorel.evaluate          {t_eval:8.2f} s")
    print(f"  drop-in xtcocotools        {t_drop:8.2f} s")
    report(args, gt, res, sig, ours, {"evaluate": t_eval, "drop-in": t_drop}, "keypoints_crowd")
    print(f"  stats {np.round(result.stats, 4).tolist()}")


def wholebody(args: Any, folder: str) -> None:
    gt, res = write_set(folder, "wb", args.wb_images, args.wb_people, args.wb_per_image, PARTS, False)
    print(
        f"COCO-WholeBody-size: {args.wb_images} images, {args.wb_people} people, "
        f"{args.wb_images * args.wb_per_image} results, six types"
    )
    sig133 = np.random.default_rng(1).uniform(0.01, 0.1, 133)
    offsets = {"keypoints_foot": 17, "keypoints_face": 23, "keypoints_lefthand": 91, "keypoints_righthand": 112}
    sig = {t: sig133[offsets.get(t, 0) : offsets.get(t, 0) + n].tolist() for t, n in WHOLEBODY.items()}
    t_eval, ours_native = best_of(args.repeat, lambda: native(gt, res, sig133))
    t_drop, ours = best_of(args.repeat, lambda: dropin(gt, res, sig))
    same = all(np.array_equal(ours[t], ours_native[t]) for t in sig)
    print(f"  evaluate_wholebody, 6 types {t_eval:7.2f} s   (stats {'equal' if same else 'DIFFER'} to the drop-in's)")
    print(f"  drop-in xtcocotools        {t_drop:8.2f} s")
    report(args, gt, res, sig, ours, {"evaluate": t_eval, "drop-in": t_drop}, "keypoints_wholebody")


def report(
    args: Any,
    gt: str,
    res: str,
    sig: dict[str, list[float]],
    ours: dict[str, list[float]],
    ours_seconds: dict[str, float],
    shown: str,
) -> None:
    if args.skip_oracle or not os.path.exists(args.oracle_python):
        print("  xtcocotools: skipped (no --oracle-python environment)")
        return
    ref = oracle(args.oracle_python, gt, res, sig)
    same = all(np.array_equal(ours[t], ref[t]) for t in sig)
    speedups = ", ".join(f"{name} x{ref['seconds'] / t:.1f}" for name, t in ours_seconds.items())
    print(
        f"  xtcocotools                {ref['seconds']:8.2f} s   ({speedups}; "
        f"stats {'equal' if same else 'DIFFER'}; {shown} AP {ref[shown][0]:.4f})"
    )


if __name__ == "__main__":
    main()
