"""load_compact_bbox on a generated results file against loading it as dicts.

Compares the time to a usable result set (compact handle vs load_json or
json.load followed by prepare_bbox_results) and the memory each keeps.

Usage: python bench/bench_compact.py [--images 5000] [--per-image 100] [--repeat 3]
"""

import argparse
import gc
import json
import os
import sys
import tempfile
import tracemalloc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_json import best
from synth import make_dataset, make_results
from vantorel._zerlin import load_compact_bbox, load_json, prepare_bbox_results


def kept_bytes(fn):
    """Python memory held by fn()'s result (tracemalloc sees the module's objects too)."""
    gc.collect()
    tracemalloc.start()
    r = fn()
    held = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del r
    return held


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--per-image", type=int, default=100)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    dets = make_results(make_dataset(seed=0, n_images=args.images), seed=1, per_image=args.per_image)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "results.json")
        with open(path, "w") as f:
            json.dump(dets, f)
        del dets
        mb = os.path.getsize(path) / 1e6

        def as_dicts(loader):
            def run():
                anns = loader()
                prepare_bbox_results(anns)
                return anns

            return run

        def json_load():
            with open(path) as f:
                return json.load(f)

        runs = [
            ("load_compact_bbox", lambda: load_compact_bbox(path, results=True)),
            ("load_json + prepare", as_dicts(lambda: load_json(path))),
            ("json.load + prepare", as_dicts(json_load)),
        ]
        gc.disable()
        try:
            times = [(name, best(fn, args.repeat)) for name, fn in runs]
        finally:
            gc.enable()
        _, handle = load_compact_bbox(path, results=True)
        compact_mb = (handle.snapshot_bytes + handle.column_bytes) / 1e6
        dict_mb = kept_bytes(as_dicts(lambda: load_json(path))) / 1e6

    print(f"file: {mb:.1f} MB, {handle.annotation_count} detections")
    for name, t in times:
        print(f"{name:>22}: {t * 1e3:8.1f} ms  {mb / t:7.0f} MB/s")
    print(f"{'kept by the handle':>22}: {compact_mb:8.1f} MB (snapshot + columns)")
    print(f"{'kept as dicts':>22}: {dict_mb:8.1f} MB")


if __name__ == "__main__":
    main()
