"""load_json against json.load and orjson on a generated COCO-style file.

Also reports how the cost divides: read_file_only (reading), parse_json_only
(reading and the syntax check) and load_json (reading, parsing and building).

Usage: python bench/bench_json.py [--images 10000] [--repeat 5] [--indent]
"""

import argparse
import gc
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from synth import make_dataset
from vantorel._zerlin import load_json, parse_json_only, read_file_only

try:
    import orjson
except ImportError:
    orjson = None


def json_load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def orjson_load(path):
    with open(path, "rb") as f:
        return orjson.loads(f.read())


def best(fn, repeat):
    """Fastest of `repeat` runs; the result of a run is freed outside the timing."""
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        r = fn()
        times.append(time.perf_counter() - t)
        del r
    return min(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--images", type=int, default=10000, help="images of the generated dataset (10000: ~25 MB)")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--indent", action="store_true", help="write the file indented instead of compact")
    args = ap.parse_args()

    data = make_dataset(seed=0, n_images=args.images, segm=True)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "instances.json")
        with open(path, "w") as f:
            json.dump(data, f, indent=1 if args.indent else None, separators=None if args.indent else (",", ":"))
        del data
        size = os.path.getsize(path)
        mb = size / 1e6
        print(f"file: {mb:.1f} MB, {'indented' if args.indent else 'compact'}")

        # Object building is measured without the cyclic collector, as the
        # collector's passes over millions of new containers would dominate
        # and vary from run to run.
        gc.disable()
        try:
            rows = [("read_file_only", best(lambda: read_file_only(path), args.repeat))]
            rows.append(("parse_json_only", best(lambda: parse_json_only(path), args.repeat)))
            rows.append(("load_json", best(lambda: load_json(path), args.repeat)))
            rows.append(("json.load", best(lambda: json_load(path), args.repeat)))
            if orjson is not None:
                rows.append(("orjson.loads", best(lambda: orjson_load(path), args.repeat)))
        finally:
            gc.enable()

    ours = dict(rows)["load_json"]
    for name, t in rows:
        rel = f"{t / ours:5.2f}x load_json" if name in ("json.load", "orjson.loads") else ""
        print(f"{name:>16}: {t * 1e3:8.1f} ms {mb / t:8.0f} MB/s  {rel}")
    if orjson is None:
        print("orjson not installed: skipped")


if __name__ == "__main__":
    main()
