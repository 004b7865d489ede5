"""Repeated calls, valid and failing, leave reference counts and process memory flat."""

import gc
import os
import sys

import numpy as np
import pytest

import vantorel._zerlin as z

STATM = "/proc/self/statm"


def rss_bytes():
    with open(STATM) as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_memory_flat(fn, n):
    """A leak grows resident memory in every window of n calls. Late in a long test run the
    heap is large and fragmented, so one window may still map a few fresh pages once."""
    growth = []
    for _ in range(3):
        before = rss_bytes()
        run_many(fn, n)
        gc.collect()
        growth.append(rss_bytes() - before)
        if growth[-1] < 2 << 20:
            return
    raise AssertionError(f"resident memory grew in every window: {growth}")


def run_many(fn, n):
    for _ in range(n):
        try:
            fn()
        except (TypeError, ValueError, KeyError, OverflowError, IndexError):
            pass


ANNS = [{"id": i, "image_id": i % 7, "category_id": i % 3, "bbox": [0.0, 1.0, 2.0, 3.0]} for i in range(200)]
ARRAY = np.random.default_rng(0).uniform(-1, 1, size=(10, 101, 4, 4, 3))

CALLS = {
    "index_ok": lambda: z.index_annotations(ANNS, True),
    "index_bad": lambda: z.index_annotations(ANNS + [{"image_id": 1}], True),
    "index_badarg": lambda: z.index_annotations(ANNS, 1),
    "prepare_ok": lambda: z.prepare_bbox_results(ANNS),
    "prepare_bad": lambda: z.prepare_bbox_results([{"bbox": [1]}]),
    "summary_ok": lambda: z.summary_values(ARRAY, [0, 3, 9], [0, 1, 2, 3], 1, 2),
    "summary_bad": lambda: z.summary_values(ARRAY, [0, 10], [0], 0, 0),
    "summary_badarg": lambda: z.summary_values(ARRAY, "x", [0], 0, 0),
    "match_bad": lambda: z.summary_values(ARRAY, [0], [0], 0, 0, 1),
    "alloc": lambda: z.alloc_stats(),
}

MASKS = (np.random.default_rng(1).random((40, 30, 3)) < 0.5).astype(np.uint8)
RLES = z.encode(MASKS)
POLYS = [[1.5, 2.0, 20.0, 3.0, 15.0, 30.0, 2.0, 25.0], [5.0, 5.0, 9.0, 5.0, 9.0, 9.0]]
BOXES = [[1.0, 2.0, 10.0, 12.0], [5.0, 5.0, 3.0, 4.0]]
UNCOMPRESSED = {"size": [40, 30], "counts": [100, 200, 900]}
CALLS.update(
    {
        "encode_ok": lambda: z.encode(MASKS),
        "encode_gather": lambda: z.encode(MASKS[::-1]),
        "decode_ok": lambda: z.decode(RLES),
        "merge_ok": lambda: z.merge(RLES, 1),
        "area_bbox_ok": lambda: (z.area(RLES), z.toBbox(RLES)),
        "iou_masks_ok": lambda: z.iou(RLES, RLES, [0, 1, 0]),
        "iou_boxes_ok": lambda: z.iou(BOXES, np.array(BOXES), [1, 0]),
        "boundary_ok": lambda: z.toBoundary(RLES, 0.05),
        "fr_ok": lambda: (
            z.frPyObjects(POLYS, 40, 30),
            z.frPyObjects(BOXES, 40, 30),
            z.frPyObjects(UNCOMPRESSED, 1, 1),
        ),
        "rle_bad": lambda: z.area(RLES + [{"size": [1, 2], "counts": [1.5]}]),
        "iou_bad": lambda: z.iou(RLES, BOXES, [0]),
        "fr_bad": lambda: z.frPyObjects(POLYS + [None], 40, 30),
        "uncompressed_bad": lambda: z.frUncompressedRLE([UNCOMPRESSED, {"size": [1], "counts": [2]}], 1, 1),
    }
)


@pytest.mark.parametrize("name", sorted(CALLS))
def test_refcounts_and_memory_stay_flat(name):
    fn = CALLS[name]
    tracked = [ANNS, ARRAY] + ANNS[:5] + [a["bbox"] for a in ANNS[:5]]
    tracked += [MASKS, RLES, POLYS, BOXES, UNCOMPRESSED] + RLES + [r["counts"] for r in RLES] + POLYS + BOXES
    run_many(fn, 200)  # warm caches, interned keys, small-int pools
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    run_many(fn, 3000)
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before
    if not os.path.exists(STATM):
        pytest.skip(f"reference counts checked; resident memory needs Linux's {STATM}")
    # Thousands of calls that leaked even a small object each would add megabytes.
    assert_memory_flat(fn, 3000)
