"""Panoptic quality at COCO-val size, from files: vantorel.pq_compute against
panopticapi's pq_compute (its default worker count: one process per CPU).

A set of --images 640x480 image pairs (ground truth and prediction PNGs,
about 20 segments each, saved at Pillow's default compression as COCO's are)
is written under a temporary directory: --unique distinct pairs are
generated and copied under new names and image ids until there are
--images (every file is still read and decoded on its own). panopticapi
runs in its own environment (it needs NumPy < 2): --oracle names that
Python, default $VANTOREL_PANOPTIC_ORACLE or build/panoptic-oracle (made by
scripts/test.sh). Each side runs in a fresh process; its time is that of the
call, its memory the process's peak resident size, also on a fifth of the
images to show that the peak does not grow with their number.

Usage: python bench/bench_panoptic.py [--images 5000] [--unique 200] [--skip-oracle]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import panopticgen  # noqa: E402

RUN = """
import json, os, resource, sys, time
{imports}
def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
# The JSON documents' own size (which grows with the images for any reader), then freed.
docs = [json.load(open(p)) for p in sys.argv[1:3]]
with_docs = rss_mb()
del docs
t = time.perf_counter()
r = pq_compute(sys.argv[1], sys.argv[2])
dt = time.perf_counter() - t
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print("@@" + json.dumps({{"seconds": dt, "peak_mb": peak, "beyond_json_mb": peak - with_docs, "result": r}}))
"""
OURS = "from vantorel import pq_compute"
REFERENCE = (
    "import contextlib, io\nfrom panopticapi.evaluation import pq_compute as _pq\n"
    "def pq_compute(*a):\n    with contextlib.redirect_stdout(io.StringIO()):\n        return _pq(*a)"
)


def build_set(root: Path, images: int, unique: int) -> tuple[Path, Path]:
    src = root / "unique"
    gt_file, pred_file = panopticgen.write_set(
        src, unique, seed=2026, size=(480, 640), n_segments=20, empty_share=0.0, compress_level=6
    )
    gt, pred = json.loads(gt_file.read_text()), json.loads(pred_file.read_text())
    preds = {a["image_id"]: a for a in pred["annotations"]}
    for side in ("gt", "pred"):
        (root / side).mkdir()
    out_gt, out_pred, out_images = [], [], []
    for i in range(images):
        g = gt["annotations"][i % unique]
        name = f"{i:012d}.png"
        for side in ("gt", "pred"):
            shutil.copyfile(src / side / g["file_name"], root / side / name)
        out_images.append({"id": i, "file_name": name.replace(".png", ".jpg"), "width": 640, "height": 480})
        out_gt.append({**g, "image_id": i, "file_name": name})
        out_pred.append({**preds[g["image_id"]], "image_id": i, "file_name": name})
    (root / "gt.json").write_text(
        json.dumps({"images": out_images, "annotations": out_gt, "categories": gt["categories"]})
    )
    (root / "pred.json").write_text(json.dumps({"annotations": out_pred}))
    shutil.rmtree(src)
    return root / "gt.json", root / "pred.json"


def run(python: str, imports: str, gt: Path, pred: Path) -> dict:
    proc = subprocess.run(
        [python, "-c", RUN.format(imports=imports), str(gt), str(pred)], capture_output=True, text=True, check=True
    )
    return json.loads([ln for ln in proc.stdout.splitlines() if ln.startswith("@@")][-1][2:])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--unique", type=int, default=200)
    ap.add_argument(
        "--oracle",
        default=os.environ.get("VANTOREL_PANOPTIC_ORACLE")
        or str(ROOT / "build" / "panoptic-oracle" / "bin" / "python"),
    )
    ap.add_argument("--skip-oracle", action="store_true")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        gt, pred = build_set(Path(tmp), args.images, min(args.unique, args.images))
        small = Path(tmp) / "small"
        small.mkdir()
        (small / "gt.json").write_text(
            json.dumps(
                {
                    **json.loads(gt.read_text()),
                    "annotations": json.loads(gt.read_text())["annotations"][: max(1, args.images // 5)],
                }
            )
        )
        shutil.copyfile(pred, small / "pred.json")
        for side in ("gt", "pred"):
            os.symlink(Path(tmp) / side, small / side)

        ours = run(sys.executable, OURS, gt, pred)
        ours_small = run(sys.executable, OURS, small / "gt.json", small / "pred.json")
        print(f"{args.images} images 640x480 ({args.unique} distinct pairs), {os.cpu_count()} CPUs")
        print(
            f"vantorel     {ours['seconds']:8.2f} s   peak {ours['peak_mb']:6.0f} MB, "
            f"{ours['beyond_json_mb']:.0f} MB beyond the JSON documents "
            f"({ours_small['peak_mb']:.0f} MB and {ours_small['beyond_json_mb']:.0f} MB on "
            f"{max(1, args.images // 5)} images)"
        )
        if args.skip_oracle or not os.path.exists(args.oracle):
            print("panopticapi  skipped" + ("" if args.skip_oracle else f" (no {args.oracle})"))
            return
        ref = run(args.oracle, REFERENCE, gt, pred)
        same = json.loads(json.dumps(ours["result"]["All"])) == ref["result"]["All"] and all(
            {k: v[k] for k in ("pq", "sq", "rq")} == ref["result"]["per_class"][c]
            for c, v in ours["result"]["per_class"].items()
        )
        print(f"panopticapi  {ref['seconds']:8.2f} s   peak {ref['peak_mb']:6.0f} MB (parent process)")
        print(f"speed-up     {ref['seconds'] / ours['seconds']:8.1f} x   results identical: {same}")


if __name__ == "__main__":
    main()
