"""Peak memory of a segm evaluation on adversarial masks.

N images of --size x --size pixels, each with one ground truth and one
detection whose RLE alternates every two pixels (--size^2 / 2 runs, 50M at
the default 10k x 10k), evaluated through the compat COCOeval (evaluate,
accumulate, summarize) of vantorel and of pycocotools, each in a fresh
process; the peak RSS (ru_maxrss) and time of each are printed. The input
dicts alone (Python strings of --size^2 / 2 bytes each) are reported too.
With --pythonpath another vantorel build is measured as well.

Usage: python bench/bench_adversarial_masks.py [--masks 4] [--size 10000] [--pythonpath OLD_BUILD]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys

CHILD = r"""
import contextlib, io, resource, sys, time
which, n, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
runs = size * size // 2
counts = "22" + "0" * (runs - 2)  # runs of two pixels: each after the first two codes as '0'
seg = lambda: {"size": [size, size], "counts": counts[:]}
gt = {"images": [{"id": i, "height": size, "width": size} for i in range(1, n + 1)],
      "categories": [{"id": 1, "name": "a"}],
      "annotations": [{"id": i, "image_id": i, "category_id": 1, "iscrowd": 0, "area": float(runs),
                       "bbox": [0, 0, size, size], "segmentation": seg()} for i in range(1, n + 1)]}
dets = [{"image_id": i, "category_id": 1, "score": 0.9, "segmentation": seg()} for i in range(1, n + 1)]
inputs = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
if which == "pycocotools":
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval
else:
    from vantorel.compat.coco import COCO
    from vantorel.compat.cocoeval import COCOeval
start = time.time()
with contextlib.redirect_stdout(io.StringIO()):
    g = COCO()
    g.dataset = gt
    g.createIndex()
    ev = COCOeval(g, g.loadRes(dets), "segm")
    ev.evaluate()
    ev.accumulate()
    ev.summarize()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
print(f"{which:>12s}: {n} images, peak {peak} MB (inputs {inputs} MB), {time.time() - start:.1f} s, AP {ev.stats[0]:.3f}")
"""


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--masks", type=int, default=4, help="images, each with one ground truth and one detection")
    ap.add_argument("--size", type=int, default=10000)
    ap.add_argument("--pythonpath", default=None, help="PYTHONPATH of another vantorel build to measure too")
    ap.add_argument("--skip-pycocotools", action="store_true")
    args = ap.parse_args()
    runs = [("vantorel", None)]
    if args.pythonpath:
        runs.append(("vantorel", dict(os.environ, PYTHONPATH=args.pythonpath)))
    if not args.skip_pycocotools:
        runs.append(("pycocotools", None))
    for which, env in runs:
        if env is not None:
            print(f"(PYTHONPATH={args.pythonpath})")
        subprocess.run([sys.executable, "-c", CHILD, which, str(args.masks), str(args.size)], env=env, check=True)


if __name__ == "__main__":
    main()
