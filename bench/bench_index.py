"""index_annotations and prepare_bbox_results against the equivalent Python loops.

Usage: python bench/bench_index.py [--n 1000000] [--repeat 3]
"""

import argparse
import time

import numpy as np

from vantorel._zerlin import index_annotations, prepare_bbox_results


def py_index(anns):
    by_id, by_image, by_cat = {}, {}, {}
    for a in anns:
        by_image.setdefault(a["image_id"], []).append(a)
        by_id[a["id"]] = a
        by_cat.setdefault(a["category_id"], []).append(a["image_id"])
    return by_id, by_image, by_cat


def py_prepare(anns):
    for i, a in enumerate(anns):
        b = a["bbox"]
        a["area"] = b[2] * b[3]
        a["id"] = i + 1
        a["iscrowd"] = 0


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    img = rng.integers(0, 5000, args.n).tolist()
    cat = rng.integers(1, 91, args.n).tolist()
    boxes = rng.uniform(0, 500, (args.n, 4)).round(2).tolist()
    anns = [
        {"id": i + 1, "image_id": img[i], "category_id": cat[i], "bbox": boxes[i], "score": 0.5} for i in range(args.n)
    ]
    assert index_annotations(anns, True)[2] == py_index(anns)[2]
    rows = [
        ("index_annotations", lambda: index_annotations(anns, True), lambda: py_index(anns)),
        ("prepare_bbox_results", lambda: prepare_bbox_results(anns), lambda: py_prepare(anns)),
    ]
    print(f"{args.n:,} annotation dicts, best of {args.repeat}")
    for name, ours, theirs in rows:
        t_ours = best(ours, args.repeat)
        t_py = best(theirs, args.repeat)
        print(
            f"{name:22s} vantorel {t_ours * 1e3:8.1f} ms   python loop {t_py * 1e3:8.1f} ms   ratio {t_py / t_ours:5.2f}x"
        )


if __name__ == "__main__":
    main()
