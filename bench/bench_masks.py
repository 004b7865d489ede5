"""Mask functions against pycocotools.mask on seeded data: encode, decode,
frPyObjects on polygons, merge, toBbox, and iou of 100x100 masks and of boxes;
faster-coco-eval's mask module (area, decode, with its run checks) against
faster-coco-eval itself.

Usage: python bench/bench_masks.py [--repeat 5] [--scale 1]
"""

import argparse

import numpy as np
from pycocotools import mask as ref

import vantorel._zerlin as z
from bench_index import best  # same folder


def blob_masks(rng, h, w, n):
    """Elliptic blobs, like real instance masks."""
    yy, xx = np.mgrid[0:h, 0:w]
    m = np.zeros((h, w, n), np.uint8)
    for i in range(n):
        cy, cx = rng.uniform(0, h), rng.uniform(0, w)
        ry, rx = rng.uniform(h / 20, h / 3), rng.uniform(w / 20, w / 3)
        m[:, :, i] = ((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1
    return m


def polygons(rng, n, h, w):
    """Star-shaped polygons of 8 to 60 vertices, one or two rings each."""
    out = []
    for _ in range(n):
        rings = []
        for _ in range(rng.integers(1, 3)):
            k = int(rng.integers(8, 61))
            ang = np.sort(rng.uniform(0, 2 * np.pi, k))
            r = rng.uniform(10, min(h, w) / 3, k)
            cx, cy = rng.uniform(0, w), rng.uniform(0, h)
            rings.append(np.stack([cx + r * np.cos(ang), cy + r * np.sin(ang)], 1).ravel().round(2).tolist())
        out.append(rings)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--scale", type=int, default=1, help="multiplies the data sizes")
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    s = args.scale

    big = np.asfortranarray(blob_masks(rng, 480, 640, 40 * s))
    big_c = np.ascontiguousarray(big)
    rles = ref.encode(big)
    small_dt = ref.encode(np.asfortranarray(blob_masks(rng, 100, 100, 100 * s)))
    small_gt = ref.encode(np.asfortranarray(blob_masks(rng, 100, 100, 100)))
    crowd = (rng.random(len(small_gt)) < 0.1).astype(np.uint8)
    polys = polygons(rng, 2000 * s, 480, 640)
    boxes_dt = rng.uniform(0, 500, (1000 * s, 4))
    boxes_gt = rng.uniform(0, 500, (300, 4))
    box_crowd = (rng.random(len(boxes_gt)) < 0.1).astype(np.uint8)

    def ref_polys():
        return [ref.merge(ref.frPyObjects(p, 480, 640)) for p in polys]

    def our_polys():
        return [z.merge(z.frPyObjects(p, 480, 640)) for p in polys]

    # Same answers before timing anything.
    assert z.encode(big) == rles and z.encode(big_c) == rles
    assert np.array_equal(z.decode(rles), ref.decode(rles))
    assert our_polys() == ref_polys()
    assert np.array_equal(z.iou(small_dt, small_gt, crowd), ref.iou(small_dt, small_gt, crowd))
    assert np.array_equal(z.iou(boxes_dt, boxes_gt, box_crowd), ref.iou(boxes_dt, boxes_gt, box_crowd))

    rows = [
        (f"encode {big.shape[2]} x 480x640 (Fortran)", lambda: z.encode(big), lambda: ref.encode(big)),
        (
            f"encode {big.shape[2]} x 480x640 (C order)",
            lambda: z.encode(big_c),
            lambda: ref.encode(np.asfortranarray(big_c)),
        ),
        (f"decode {len(rles)} x 480x640", lambda: z.decode(rles), lambda: ref.decode(rles)),
        (f"frPyObjects+merge {len(polys)} polygons", our_polys, ref_polys),
        (f"toBbox {len(rles)}", lambda: z.toBbox(rles), lambda: ref.toBbox(rles)),
        (
            f"iou {len(small_dt)}x{len(small_gt)} masks 100x100",
            lambda: z.iou(small_dt, small_gt, crowd),
            lambda: ref.iou(small_dt, small_gt, crowd),
        ),
        (
            f"iou {len(boxes_dt)}x{len(boxes_gt)} boxes",
            lambda: z.iou(boxes_dt, boxes_gt, box_crowd),
            lambda: ref.iou(boxes_dt, boxes_gt, box_crowd),
        ),
        (f"toBoundary {len(rles)} x 480x640", lambda: z.toBoundary(rles), None),
    ]
    # faster-coco-eval's mask module checks every RLE's runs against h*w (the
    # compat module natively); the reference column is faster-coco-eval's own.
    from vantorel.compat.faster_coco_eval.core import mask as fce_compat

    try:
        from faster_coco_eval.core import mask as fce
    except ImportError:
        fce = None

    def call(module, fn, objs):
        return (lambda: getattr(module, fn)(objs)) if module else None

    for name, objs in [(f"{len(rles)} x 480x640", rles), (f"{len(small_dt)} x 100x100", small_dt)]:
        for fn in ("area", "decode"):
            rows.append((f"faster-coco-eval {fn} {name}", call(fce_compat, fn, objs), call(fce, fn, objs)))
    print(f"best of {args.repeat}; times in ms")
    print(f"{'operation':44} {'vantorel':>10} {'reference':>12} {'speed-up':>9}")
    for name, ours, theirs in rows:
        t_ours = best(ours, args.repeat) * 1e3
        if theirs is None:
            print(f"{name:44} {t_ours:10.2f} {'-':>12} {'-':>9}")
            continue
        t_ref = best(theirs, args.repeat) * 1e3
        print(f"{name:44} {t_ours:10.2f} {t_ref:12.2f} {t_ref / t_ours:8.1f}x")


if __name__ == "__main__":
    main()
