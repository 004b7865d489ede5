"""Mask functions: agreement with pycocotools.mask (the reference) on seeded random
input and on every segmentation of the bundled data, the boundary band against a
plain NumPy erosion, the documented edge cases and the error messages."""

import json
import math
from pathlib import Path

import numpy as np
import pytest
from pycocotools import _mask as ref_c
from pycocotools import mask as ref

import vantorel._zerlin as z

DATA = Path(__file__).resolve().parent.parent / "data"

# The reference's own RLE container predates NumPy 2's copy keyword.
pytestmark = pytest.mark.filterwarnings("ignore:__array__ implementation:DeprecationWarning")


# ---------------------------------------------------------------- generators


def random_masks(rng, h, w, n):
    """(h, w, n) uint8 masks: a few rectangles plus sprinkled pixels, some empty or full."""
    m = np.zeros((h, w, n), np.uint8)
    for i in range(n):
        kind = rng.integers(0, 6)
        if kind == 0:
            continue  # empty
        if kind == 1:
            m[:, :, i] = 1
            continue
        for _ in range(rng.integers(1, 4)):
            y0, y1 = sorted(rng.integers(0, h + 1, 2))
            x0, x1 = sorted(rng.integers(0, w + 1, 2))
            m[y0:y1, x0:x1, i] = 1
        noise = rng.random((h, w)) < (0.3 if kind == 5 else 0.02)
        m[:, :, i] ^= noise.astype(np.uint8)
    return m


def layouts(mask):
    """The same masks as C-ordered, Fortran-ordered, strided and reversed views."""
    h, w, n = mask.shape
    yield np.ascontiguousarray(mask)
    yield np.asfortranarray(mask)
    big = np.zeros((2 * h + 1, 3 * w, 2 * n), np.uint8)
    big[1::2, ::3, ::2] = mask
    yield big[1::2, ::3, ::2]
    wide = np.zeros((h, w, 3 * n), np.uint8, order="F")
    wide[:, :, ::3] = mask
    yield wide[:, :, ::3]  # each slice Fortran-contiguous, slices apart
    yield np.ascontiguousarray(mask[::-1, ::-1])[::-1, ::-1]


def random_boxes(rng, n, extent=50.0):
    boxes = np.empty((n, 4))
    boxes[:, :2] = rng.uniform(-5, extent, (n, 2))
    boxes[:, 2:] = rng.uniform(0, extent / 2, (n, 2))
    pick = rng.integers(0, 4, n)
    boxes[pick == 0, 2] = 0.0  # zero width
    boxes[pick == 1] = np.round(boxes[pick == 1] * 2) / 2  # half-pixel grid
    boxes[pick == 2, 3] = 0.0  # zero height
    return boxes


def random_polygon(rng, h, w):
    kind = rng.integers(0, 6)
    k = {0: 1, 1: 2}.get(kind, int(rng.integers(3, 14)))
    xs = rng.uniform(-10, w + 10, k)
    ys = rng.uniform(-10, h + 10, k)
    if kind == 2:  # on the pixel and half-pixel grid
        xs, ys = np.round(xs * 2) / 2, np.round(ys * 2) / 2
    if kind == 3:  # inside the image only
        xs, ys = rng.uniform(0, w, k), rng.uniform(0, h, k)
    poly = np.stack([xs, ys], 1).ravel().tolist()
    if kind == 4 and k > 2:
        poly += poly[:4]  # repeated vertices, self-touching
    return poly


def random_runs(rng, total, exact=True):
    runs = []
    left = total
    while left > 0:
        r = int(rng.integers(0 if not runs else 1, max(2, total // 4)))
        r = min(r, left)
        runs.append(r)
        left -= r
    if not exact:
        runs.append(int(rng.integers(1, 9)))
    return runs or [0]


def rle_boundary_reference(mask2d, ratio):
    """Mask minus its 3x3 erosion, repeated n times, background outside the image."""
    h, w = mask2d.shape
    x = ratio * math.sqrt(h * h + w * w)
    n = max(1, math.floor(x + 0.5) if x >= 0 else 0)  # halves round away from zero
    m = mask2d.astype(bool)
    e = m.copy()
    for _ in range(n):
        p = np.pad(e, 1)
        e = np.ones_like(m)
        for dy in range(3):
            for dx in range(3):
                e &= p[dy : dy + h, dx : dx + w]
    return (m & ~e).astype(np.uint8)


def ann_to_rle(api, segm, h, w):
    """Segmentation of an annotation as one RLE, the way the reference COCO API does it."""
    if isinstance(segm, list):
        return api.merge(api.frPyObjects(segm, h, w))
    if isinstance(segm["counts"], list):
        return api.frPyObjects(segm, h, w)
    return segm


def ref_chunked(fn, rles):
    """fn over a long list in pieces: the reference counts the list in a uint8."""
    return np.concatenate([fn(rles[i : i + 200]) for i in range(0, len(rles), 200)])


def assert_same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape and a.dtype == b.dtype
    assert np.array_equal(a.view(np.uint64), b.view(np.uint64))


# ---------------------------------------------------------------- random input vs reference


@pytest.mark.parametrize("seed", range(8))
def test_encode_decode_area_bbox_match_reference(seed):
    rng = np.random.default_rng(seed)
    for _ in range(8):
        h, w, n = (int(v) for v in (rng.integers(1, 70), rng.integers(1, 70), rng.integers(1, 4)))
        mask = random_masks(rng, h, w, n)
        want = ref.encode(np.asfortranarray(mask))
        for view in layouts(mask):
            assert z.encode(view) == want
        got = z.decode(want)
        assert got.flags.f_contiguous and np.array_equal(got, ref.decode(want))
        assert np.array_equal(got, mask)
        area = z.area(want)
        assert area.dtype == np.uint32 and np.array_equal(area, ref.area(want))
        assert_same_bits(z.toBbox(want), ref.toBbox(want))


@pytest.mark.parametrize("seed", range(6))
def test_merge_and_mask_iou_match_reference(seed):
    rng = np.random.default_rng(100 + seed)
    for _ in range(6):
        h, w = (int(v) for v in rng.integers(1, 60, 2))
        dt = ref.encode(np.asfortranarray(random_masks(rng, h, w, int(rng.integers(1, 6)))))
        gt = ref.encode(np.asfortranarray(random_masks(rng, h, w, int(rng.integers(1, 6)))))
        for intersect in (0, 1):
            assert z.merge(dt, intersect) == ref.merge(dt, intersect)
        assert z.merge(gt, intersect=True) == ref.merge(gt, intersect=True)
        crowd = rng.integers(0, 2, len(gt)).astype(np.uint8)
        assert_same_bits(z.iou(dt, gt, crowd), ref.iou(dt, gt, crowd))
        assert_same_bits(z.iou(dt, gt, crowd.tolist()), ref.iou(dt, gt, crowd))


def test_iou_of_masks_with_millions_of_runs_matches_reference():
    # Beyond about a million foreground runs a mask is compared by walking its
    # runs, not through interval lists (which would take four times its size).
    h, w = 1600, 1400
    yy, xx = np.indices((h, w))
    checker = ((yy + xx) % 2).astype(np.uint8)
    masks = [checker, checker * (xx < 900), checker * (yy >= 300), (xx > 500).astype(np.uint8), checker * (xx < 3)]
    rles = ref.encode(np.asfortranarray(np.stack(masks, axis=2)))
    assert z.area(rles[:1])[0] > 1 << 20  # foreground runs, as each is one pixel
    for crowd in ([0] * 5, [1, 0, 1, 0, 1]):
        assert_same_bits(z.iou(rles, rles, crowd), ref.iou(rles, rles, crowd))
    # Areas and boxes come from the compressed counts as they are read.
    area, ref_area = z.area(rles), ref.area(rles)
    assert area.dtype == ref_area.dtype and np.array_equal(area, ref_area)
    assert_same_bits(z.toBbox(rles), ref.toBbox(rles))


@pytest.mark.parametrize("seed", range(5))
def test_boxes_match_reference(seed):
    rng = np.random.default_rng(200 + seed)
    for _ in range(5):
        dt, gt = random_boxes(rng, int(rng.integers(1, 12))), random_boxes(rng, int(rng.integers(1, 12)))
        crowd = rng.integers(0, 2, len(gt)).astype(np.uint8)
        want = ref.iou(dt, gt, crowd)
        assert_same_bits(z.iou(dt, gt, crowd), want)
        assert_same_bits(z.iou(dt.tolist(), gt.tolist(), crowd.tolist()), want)
        h, w = (int(v) for v in rng.integers(1, 60, 2))
        assert z.frBbox(dt, h, w) == ref_c.frBbox(dt, h, w)
        assert z.frBbox(dt.tolist(), h, w) == ref_c.frBbox(dt, h, w)
        assert z.frPyObjects(gt, h, w) == ref.frPyObjects(gt, h, w)
        # Boxes rasterised as masks: mask IoU agrees too.
        rd, rg = ref_c.frBbox(dt, h, w), ref_c.frBbox(gt, h, w)
        assert_same_bits(z.iou(rd, rg, crowd), ref.iou(rd, rg, crowd))


@pytest.mark.parametrize("seed", range(8))
def test_polygons_match_reference(seed):
    rng = np.random.default_rng(300 + seed)
    for _ in range(10):
        h, w = (int(v) for v in rng.integers(1, 80, 2))
        polys = [random_polygon(rng, h, w) for _ in range(int(rng.integers(1, 5)))]
        if rng.integers(0, 3) == 0:
            polys[0] = polys[0] + [float(rng.uniform(0, w))]  # odd length: last value ignored
        want = ref_c.frPoly(polys, h, w)
        assert z.frPoly(polys, h, w) == want
        assert z.frPoly([np.array(p) for p in polys], h, w) == want
        if len(polys[0]) > 4:  # the reference only takes polygon lists led by a real polygon
            assert z.frPyObjects(polys, h, w) == ref.frPyObjects(polys, h, w)
        assert z.merge(z.frPoly(polys, h, w)) == ref.merge(want)


def test_large_polygons_match_reference():
    # Long edges (more than 64 upsampled rows) are walked by jumping between columns.
    rng = np.random.default_rng(7)
    for _ in range(30):
        h, w = (int(v) for v in rng.integers(50, 900, 2))
        polys = [rng.uniform(-200, max(h, w) + 200, 2 * int(rng.integers(3, 9))).tolist() for _ in range(2)]
        assert z.frPoly(polys, h, w) == ref_c.frPoly(polys, h, w)


@pytest.mark.parametrize("band", [2.5, 40.0, 700.0])
def test_many_vertex_polygons_match_reference(band):
    # Hundreds of crossings spread over few or many columns: the crossing
    # sort takes its bucket pass or, with crowded columns, its fallback.
    rng = np.random.default_rng(int(band * 10))
    for _ in range(10):
        h, w = (int(v) for v in rng.integers(100, 800, 2))
        k = int(rng.integers(60, 400))
        x0 = float(rng.uniform(-20, w))
        xs = x0 + rng.uniform(0, band, k)
        ys = rng.uniform(-30, h + 30, k)
        poly = np.stack([xs, ys], 1).ravel().tolist()
        assert z.frPoly([poly], h, w) == ref_c.frPoly([poly], h, w)


@pytest.mark.parametrize("seed", range(4))
def test_uncompressed_runs_match_reference(seed):
    rng = np.random.default_rng(400 + seed)
    for _ in range(10):
        h, w = (int(v) for v in rng.integers(1, 40, 2))
        objs = [{"size": [h, w], "counts": random_runs(rng, h * w, exact=bool(rng.integers(0, 4)))} for _ in range(3)]
        want = ref_c.frUncompressedRLE(objs, h, w)
        assert z.frUncompressedRLE(objs, h, w) == want
        assert z.frPyObjects(objs, h, w) == ref.frPyObjects(objs, h, w) == want
        assert z.frPyObjects(objs[0], h, w) == ref.frPyObjects(objs[0], h, w)
        # Runs given directly as 'counts' read the same as their compressed form.
        assert z.area(objs).tolist() == ref.area(want).tolist()
        assert_same_bits(z.toBbox(objs), ref.toBbox(want))


# ---------------------------------------------------------------- bundled data vs reference


def load(name):
    with open(DATA / name) as f:
        return json.load(f)


@pytest.fixture(scope="module")
def coco():
    return load("instances_val2014_100.json")


@pytest.fixture(scope="module")
def lvis():
    return load("lvis_val_100.json")


@pytest.fixture(scope="module")
def fake_segm():
    return load("instances_val2014_fakesegm100_results.json")


def gt_masks(dataset, api):
    sizes = {img["id"]: (img["height"], img["width"]) for img in dataset["images"]}
    return [ann_to_rle(api, a["segmentation"], *sizes[a["image_id"]]) for a in dataset["annotations"]]


@pytest.mark.parametrize("dataset", ["coco", "lvis"])
def test_ground_truth_segmentations_match_reference(dataset, request):
    data = request.getfixturevalue(dataset)
    ours, theirs = gt_masks(data, z), gt_masks(data, ref)
    assert ours == theirs
    assert np.array_equal(z.area(ours), ref_chunked(ref.area, theirs))
    assert_same_bits(z.toBbox(ours), ref_chunked(ref.toBbox, theirs))
    # frPoly itself, ring by ring, on every polygon annotation.
    sizes = {img["id"]: (img["height"], img["width"]) for img in data["images"]}
    for a in data["annotations"]:
        if isinstance(a["segmentation"], list):
            h, w = sizes[a["image_id"]]
            assert z.frPoly(a["segmentation"], h, w) == ref_c.frPoly(a["segmentation"], h, w)


def test_crowd_regions_are_present(coco):
    crowd = [a for a in coco["annotations"] if a["iscrowd"]]
    assert len(crowd) == 9 and all(isinstance(a["segmentation"]["counts"], list) for a in crowd)


def test_result_strings_decode_like_reference(fake_segm):
    segms = [r["segmentation"] for r in fake_segm]
    assert np.array_equal(z.area(segms), ref_chunked(ref.area, segms))
    assert_same_bits(z.toBbox(segms), ref_chunked(ref.toBbox, segms))
    for s in segms[:200]:
        assert np.array_equal(z.decode([s]), ref.decode([s]))
    # A copy through merge re-encodes the string byte for byte.
    for s in segms:
        assert z.merge([s])["counts"] == s["counts"].encode()
        assert z.merge([s]) == ref.merge([s])


def test_result_iou_per_image_matches_reference(coco, fake_segm):
    ours, theirs = gt_masks(coco, z), gt_masks(coco, ref)
    by_image = {}
    for a, mo, mt in zip(coco["annotations"], ours, theirs):
        by_image.setdefault(a["image_id"], []).append((a, mo, mt))
    dts = {}
    for r in fake_segm:
        dts.setdefault(r["image_id"], []).append(r)
    bboxes = {}
    for r in load("instances_val2014_fakebbox100_results.json"):
        bboxes.setdefault(r["image_id"], []).append(r["bbox"])
    compared = 0
    for img, gts in by_image.items():
        crowd = [a["iscrowd"] for a, _, _ in gts]
        if img in dts:
            d = [r["segmentation"] for r in dts[img]]
            assert_same_bits(z.iou(d, [m for _, m, _ in gts], crowd), ref.iou(d, [m for _, _, m in gts], crowd))
            compared += 1
        if img in bboxes:
            g = [a["bbox"] for a, _, _ in gts]
            assert_same_bits(z.iou(bboxes[img], g, crowd), ref.iou(bboxes[img], g, crowd))
            assert_same_bits(z.iou(np.array(bboxes[img]), np.array(g), crowd), ref.iou(bboxes[img], g, crowd))
    assert compared > 50


def test_boundary_of_real_masks_matches_numpy(coco):
    masks = gt_masks(coco, z)[::40]
    for m, b in zip(masks, z.toBoundary(masks)):
        assert np.array_equal(z.decode([b])[:, :, 0], rle_boundary_reference(z.decode([m])[:, :, 0], 0.02))


# ---------------------------------------------------------------- boundary


@pytest.mark.parametrize("h,w", [(1, 1), (3, 8), (10, 10), (33, 20), (64, 64), (100, 37)])
@pytest.mark.parametrize("ratio", [0.0, 0.02, 0.05, 0.1, 0.3, -1.0])
def test_boundary_matches_numpy_erosion(h, w, ratio):
    rng = np.random.default_rng(h * 1000 + w)
    masks = random_masks(rng, h, w, 6)
    got = z.toBoundary(z.encode(masks), ratio)
    assert [g["size"] for g in got] == [[h, w]] * 6
    decoded = z.decode(got)
    for i in range(6):
        assert np.array_equal(decoded[:, :, i], rle_boundary_reference(masks[:, :, i], ratio))


def test_boundary_worked_values():
    full = lambda h, w: {"size": [h, w], "counts": [0, h * w]}  # noqa: E731
    assert z.area(z.toBoundary([full(10, 10)])).tolist() == [36]
    assert z.area(z.toBoundary([full(20, 20)], 0.1)).tolist() == [204]
    assert z.area(z.toBoundary([full(100, 100)])).tolist() == [100 * 100 - 94 * 94]  # n = 3
    assert z.area(z.toBoundary([full(480, 640)])).tolist() == [480 * 640 - 448 * 608]  # n = 16
    flat = {"size": [0, 5], "counts": b"0"}
    assert z.toBoundary([flat], dilation_ratio=0.5) == [{"size": [0, 5], "counts": b"0"}]
    assert z.toBoundary([{"size": [4, 4], "counts": [16]}]) == z.encode(np.zeros((4, 4, 1), np.uint8))
    assert z.toBoundary([]) == []


# ---------------------------------------------------------------- documented edge cases


def test_encode_edge_cases():
    assert z.encode(np.zeros((2, 3, 1), np.uint8)) == [{"size": [2, 3], "counts": b"6"}]
    assert z.encode(np.ones((2, 3, 1), np.uint8)) == [{"size": [2, 3], "counts": b"06"}]
    assert z.encode(np.zeros((4, 5, 0), np.uint8)) == []
    out = z.encode(np.zeros((2, 3, 1), np.uint8))[0]
    assert list(out) == ["size", "counts"] and type(out["counts"]) is bytes


def test_decode_is_fortran_ordered_and_owns_module_memory():
    m = random_masks(np.random.default_rng(1), 7, 9, 3)
    d = z.decode(z.encode(m))
    assert np.array_equal(d, m) and d.dtype == np.uint8 and d.flags.f_contiguous and d.flags.writeable
    assert type(d.base).__name__ == "PySliceContainer"
    # Every record is decoded with the first record's size.
    small = z.encode(np.ones((2, 2, 1), np.uint8))[0]
    mixed = z.decode(z.encode(m[:, :, :1]) + [small])
    assert mixed.shape == (7, 9, 2) and mixed[:, :, 1].sum() == 4


def test_counts_forms_give_one_record():
    forms = [[0, 6], b"06", "06"]
    merged = [z.merge([{"size": [2, 3], "counts": c}]) for c in forms]
    assert merged == [{"size": [2, 3], "counts": b"06"}] * 3
    assert z.area([{"size": (2, 3), "counts": [0, 6]}]).tolist() == [6]
    extra = {"size": [2, 3], "counts": [1, 2], "extra": None}
    assert z.area([extra]).tolist() == [2]


def test_iou_edge_cases():
    assert z.iou([], [[0, 0, 1, 1]], None) == []  # iscrowd not looked at
    assert z.iou([[0, 0, 1, 1]], np.zeros((0, 4)), object()) == []
    boxes = np.array([[0, 0, 10, 10], [5, 5, 10, 10]], float)
    assert_same_bits(z.iou(boxes, boxes.tolist(), [0, 0]), z.iou(boxes.tolist(), boxes, [0, 0]))
    # Other float dtypes are read row by row like lists.
    assert_same_bits(z.iou(boxes.astype(np.float32), boxes, [0, 1]), ref.iou(boxes, boxes, [0, 1]))
    # Deliberate difference: only the low 8 bits of a crowd flag count, so 256
    # is not crowd (the reference refuses 256 with OverflowError).
    a = z.frBbox([[0, 0, 4, 4]], 10, 10)
    b = z.frBbox([[0, 0, 8, 8]], 10, 10)
    assert z.iou(a, b, [256]).tolist() == [[0.25]]
    assert z.iou(a, b, [257]).tolist() == [[1.0]]
    # Deliberate difference: a box with a non-finite value overlaps nothing;
    # the reference lets NaN through its min/max (0.5 here, NaN against itself).
    nan, inf = float("nan"), float("inf")
    assert ref.iou([[nan, 0, 10, 10]], [[0, 0, 5, 10]], [0]).tolist() == [[0.5]]
    for bad in ([nan, 0, 10, 10], [0, 0, inf, 10], [0, -inf, 10, 10], [0, 0, 10, nan]):
        assert z.iou([bad], [[0, 0, 5, 10], bad], [0, 1]).tolist() == [[0.0, 0.0]]
        assert z.iou([[0, 0, 5, 10]], [bad], [1]).tolist() == [[0.0]]
    # A crowd list shorter than the ground truths: the rest are not crowd.
    assert z.iou(a, b + b, [1]).tolist() == [[1.0, 0.25]]
    # Masks of different sizes: -1 when the boxes overlap, else 0.
    other = z.frBbox([[0, 0, 4, 4], [6, 6, 2, 2]], 11, 10)
    assert z.iou(a, other, [0, 0]).tolist() == [[-1.0, 0.0]]


def test_extreme_and_degenerate_geometry():
    nan, inf = float("nan"), float("inf")
    # An edge far above the image fills from the top, as a nearer one does
    # (its row arithmetic wrapped and filled from the bottom).
    far, near = ([[0, y, 8, y, 8, 5, 0, 5]] for y in (-1e9, -100))
    assert z.frPoly(far, 10, 10) == z.frPoly(near, 10, 10) == ref_c.frPoly(near, 10, 10)
    # An image without columns gives the empty mask at once; the reference
    # walks every column of the box.
    assert z.frPyObjects([0, 0, 1e7, 1], 10, 0) == {"size": [10, 0], "counts": b"0"}
    # Deliberately unlike the reference: a non-finite coordinate covers nothing.
    for bad in (nan, inf, -inf):
        assert z.area(z.frPoly([[1, 1, bad, 1, 8, 8]], 10, 10) + z.frBbox([[1, 1, 5, bad]], 10, 10)).tolist() == [0, 0]
    # Empty foreground runs cover no pixel: boxes as the reference and the
    # decoded mask give them.
    for counts, h, w in (([0, 0, 0, 1], 1, 1), ([5, 0, 2, 1], 10, 1), ([2, 0, 15, 1, 2], 10, 2)):
        rle = {"size": [h, w], "counts": counts}
        assert z.toBbox([rle]).tolist() == ref_c.toBbox(ref_c.frUncompressedRLE([rle], h, w)).tolist()
    only_empty = {"size": [3, 3], "counts": [1, 0, 8]}  # the reference's box here is [3, 3, 2**32 - 2, ...]
    assert z.toBbox([only_empty]).tolist() == [[0, 0, 0, 0]]
    assert z.iou([only_empty], [only_empty], [0]).tolist() == [[0.0]]


def test_merge_area_bbox_edge_cases():
    a = z.frBbox([[0, 0, 2, 2]], 5, 5)[0]
    b = z.frBbox([[3, 3, 2, 2]], 5, 5)[0]
    assert z.merge([a]) == a
    assert z.merge([a, b], intersect=1) == {
        "size": [5, 5],
        "counts": z.encode(np.zeros((5, 5, 1), np.uint8))[0]["counts"],
    }
    assert z.merge([]) == {"size": [0, 0], "counts": b""}
    assert z.merge([a, z.frBbox([[0, 0, 2, 2]], 5, 6)[0]]) == {"size": [0, 0], "counts": b""}
    assert z.area([]).dtype == np.uint32 and z.area([]).shape == (0,)
    assert z.toBbox([]).shape == (0, 4) and z.toBbox([]).dtype == np.float64


def test_construction_edge_cases():
    box = z.frBbox([[0, 0, 10, 10]], 20, 20)
    assert z.area(box).tolist() == [100]
    assert len(z.frBbox(np.array([[0, 0, 10, 10], [1, 1, 2, 2]], float), 20, 20)) == 2
    assert z.frBbox([], 5, 5) == [] and z.frPoly([], 5, 5) == [] and z.frPyObjects([], 5, 5) == []
    assert z.frPyObjects([0, 0, 10, 10], 20, 20) == box[0]
    assert z.frPyObjects([np.float32(0), 0, 10, 10], 20, 20) == box[0]
    # A flat list of 6 numbers is one polygon (the reference refuses a flat list).
    tri = [10, 10, 20, 10, 20, 20]
    assert z.frPyObjects(tri, 30, 30) == ref_c.frPoly([tri], 30, 30)[0]
    two = z.frPyObjects([[0, 0, 10, 10], [1, 1, 2, 2]], 20, 20)
    assert two == ref_c.frBbox(np.array([[0, 0, 10, 10], [1, 1, 2, 2]], float), 20, 20)
    assert z.frPyObjects([[0, 0, 10, 0, 10, 10]], 20, 20) == ref_c.frPoly([[0, 0, 10, 0, 10, 10]], 20, 20)
    assert z.frPyObjects({"size": [2, 3], "counts": [1, 2, 3]}, 0, 0) == {"size": [2, 3], "counts": b"123"}
    assert z.frUncompressedRLE([{"size": [2, 3, 7], "counts": [6]}], 0, 0) == [{"size": [2, 3], "counts": b"6"}]
    # bytes are a sequence of ints here: one run per byte value.
    assert z.frUncompressedRLE([{"size": [2, 3], "counts": b"06"}], 0, 0) == z.frUncompressedRLE(
        [{"size": [2, 3], "counts": [48, 54]}], 0, 0
    )
    # A one-shot iterator is read once and dispatched like the list it yields.
    assert z.frPyObjects((p for p in [[0, 0, 10, 10]]), 20, 20) == box
    # Size entries keep their low 32 bits.
    assert z.frUncompressedRLE([{"size": [2**32 + 2, 3], "counts": [6]}], 0, 0)[0]["size"] == [2, 3]


# ---------------------------------------------------------------- errors


RLE = {"size": [2, 3], "counts": b"6"}
BIG = "mask size 65536 x 65536 has 2^32 pixels or more, beyond the 32-bit pixel indices of masks"


def rle_with(**kw):
    d = dict(RLE)
    d.update(kw)
    return {k: v for k, v in d.items() if v is not ...}


@pytest.mark.parametrize(
    "call,exc,message,note",
    [
        (lambda: z.decode([]), IndexError, "decode() needs at least one RLE", None),
        (lambda: z.encode(np.zeros((2, 3), np.uint8)), ValueError, "mask must be a 3-D (h, w, n) uint8 array", None),
        (lambda: z.encode(np.zeros((2, 3, 1), bool)), TypeError, None, "mask"),
        (lambda: z.encode([[[1]]]), TypeError, None, "mask"),
        (lambda: z.area([1]), TypeError, "expected an RLE dict with 'size' and 'counts'", "rle_objs"),
        (lambda: z.area(RLE), TypeError, "expected an RLE dict with 'size' and 'counts'", "rle_objs"),
        (lambda: z.decode(RLE), TypeError, "expected an RLE dict with 'size' and 'counts'", "rle_objs"),
        (lambda: z.toBbox(RLE), TypeError, "expected an RLE dict with 'size' and 'counts'", "rle_objs"),
        (lambda: z.merge(RLE), TypeError, "expected an RLE dict with 'size' and 'counts'", "rle_objs"),
        (lambda: z.toBoundary(RLE), TypeError, "expected an RLE dict with 'size' and 'counts'", "rle_objs"),
        (lambda: z.area([rle_with(size=...)]), ValueError, "RLE dict is missing 'size'", "rle_objs"),
        (lambda: z.area([rle_with(counts=...)]), ValueError, "RLE dict is missing 'counts'", "rle_objs"),
        (lambda: z.area([rle_with(size=[2, 3, 1])]), ValueError, "RLE 'size' must be [h, w]", "rle_objs"),
        (lambda: z.area([rle_with(size="ab")]), TypeError, "Can't extract `str` to `Vec`", "rle_objs"),
        (lambda: z.area([rle_with(size=[-1, 3])]), OverflowError, None, "rle_objs"),
        (
            lambda: z.area([rle_with(counts=None)]),
            TypeError,
            "RLE 'counts' must be bytes, str, or a list of ints",
            "rle_objs",
        ),
        (
            lambda: z.area([rle_with(counts=[1.5])]),
            TypeError,
            "RLE 'counts' must be bytes, str, or a list of ints",
            "rle_objs",
        ),
        (
            lambda: z.area([rle_with(counts=[2**32])]),
            TypeError,
            "RLE 'counts' must be bytes, str, or a list of ints",
            "rle_objs",
        ),
        (lambda: z.area(5), TypeError, None, "rle_objs"),
        (lambda: z.merge([RLE], intersect="x"), TypeError, None, "intersect"),
        (lambda: z.toBoundary([RLE], "x"), TypeError, None, "dilation_ratio"),
        (
            lambda: z.iou(np.zeros((2, 3)), [], []),
            ValueError,
            "numpy ndarray input is only for *bounding boxes* and should have Nx4 dimension",
            "dt",
        ),
        (
            lambda: z.iou([[1, 2, 3, 4]], np.zeros(4), []),
            ValueError,
            "numpy ndarray input is only for *bounding boxes* and should have Nx4 dimension",
            "gt",
        ),
        (lambda: z.iou([[1, 2, 3]], [], []), ValueError, "list input can be bounding box (Nx4) or RLEs ([RLE])", "dt"),
        (
            lambda: z.iou([[1, 2, 3, 4], "abcd"], [], []),
            ValueError,
            "list input can be bounding box (Nx4) or RLEs ([RLE])",
            "dt",
        ),
        (
            lambda: z.iou([[1, 2, 3, 4], RLE], [], []),
            ValueError,
            "list input can be bounding box (Nx4) or RLEs ([RLE])",
            "dt",
        ),
        (
            lambda: z.iou([RLE], [[1, 2, 3, 4]], [0]),
            TypeError,
            "The dt and gt should have the same data type, either RLEs, list or np.ndarray",
            None,
        ),
        (lambda: z.iou([RLE], [RLE], [0.5]), TypeError, None, "iscrowd"),
        (lambda: z.iou([RLE], [RLE], None), TypeError, None, "iscrowd"),
        (lambda: z.frBbox([RLE], 2, 3), TypeError, "expected bounding boxes", "bb"),
        (lambda: z.frBbox([], -1, 3), OverflowError, "out of range integral type conversion attempted", "h"),
        (lambda: z.frBbox([], 1, 2**32), OverflowError, "out of range integral type conversion attempted", "w"),
        (lambda: z.frPoly([], 1.5, 3), TypeError, None, "h"),
        (lambda: z.frPoly(["abcdef"], 2, 3), TypeError, "Can't extract `str` to `Vec`", "poly"),
        (lambda: z.frPoly([[1, 2, "x"]], 2, 3), TypeError, None, "poly"),
        (lambda: z.frUncompressedRLE([], "a", 3), TypeError, None, "_h"),
        (lambda: z.frUncompressedRLE([1], 2, 3), TypeError, "expected uncompressed RLE dicts", "uc"),
        (lambda: z.frUncompressedRLE([{"counts": [6]}], 2, 3), ValueError, "RLE dict is missing 'size'", "uc"),
        (lambda: z.frUncompressedRLE([{"size": [2, 3]}], 2, 3), ValueError, "RLE dict is missing 'counts'", "uc"),
        (lambda: z.frUncompressedRLE([rle_with(counts="06")], 2, 3), TypeError, "Can't extract `str` to `Vec`", "uc"),
        (lambda: z.frUncompressedRLE([rle_with(counts=[1.5])], 2, 3), TypeError, None, "uc"),
        (
            lambda: z.frUncompressedRLE([rle_with(counts=[2**32])], 2, 3),
            OverflowError,
            "out of range integral type conversion attempted",
            "uc",
        ),
        (
            lambda: z.frUncompressedRLE([rle_with(size=[2], counts=[6])], 2, 3),
            ValueError,
            "RLE 'size' must be [h, w]",
            "uc",
        ),
        (lambda: z.frPyObjects({"size": [2, 3]}, 2, 3), TypeError, "input type is not supported.", "obj"),
        (lambda: z.frPyObjects({"a": 1}, 2, 3), TypeError, "input type is not supported.", "obj"),
        (
            lambda: z.frPyObjects(np.zeros((1, 3)), 2, 3),
            ValueError,
            "numpy ndarray input is only for *bounding boxes* and should have Nx4 dimension",
            "obj",
        ),
        (
            lambda: z.frPyObjects([{"counts": [6]}], 2, 3),
            TypeError,
            "'dict' object is not an instance of 'Sequence'",
            "obj",
        ),
        (lambda: z.frPyObjects([1, 2, None], 2, 3), TypeError, None, "obj"),
        (lambda: z.frPyObjects([5, [1]], 2, 3), TypeError, None, "obj"),
        (lambda: z.frPyObjects([None], 2, 3), TypeError, None, "obj"),
        (lambda: z.frPyObjects(3, 2, 3), TypeError, None, "obj"),
        (lambda: z.frPyObjects([], 2, -3), OverflowError, "out of range integral type conversion attempted", "w"),
        # Masks of 2^32 pixels or more would wrap their 32-bit pixel indices
        # (the reference wraps them silently).
        (lambda: z.frBbox([[0, 0, 1, 1]], 65536, 65536), OverflowError, BIG, "w"),
        (lambda: z.frPoly([], 65536, 65536), OverflowError, BIG, "w"),
        (lambda: z.frPyObjects([0, 0, 1, 1], 65536, 65536), OverflowError, BIG, "w"),
        (lambda: z.area([rle_with(size=[65536, 65536])]), OverflowError, BIG, "rle_objs"),
        (lambda: z.toBbox([rle_with(size=[65536, 65536])]), OverflowError, BIG, "rle_objs"),
        (lambda: z.merge([RLE, rle_with(size=[65536, 65536])]), OverflowError, BIG, "rle_objs"),
        (lambda: z.iou([rle_with(size=[65536, 65536])], [RLE], [0]), OverflowError, BIG, "dt"),
        (lambda: z.decode([rle_with(size=[2**32 - 1, 2**32 - 1])]), OverflowError, None, "rle_objs"),
        (lambda: z.frUncompressedRLE([rle_with(size=[65536, 65536], counts=[6])], 2, 3), OverflowError, BIG, "uc"),
        (lambda: z.encode(np.broadcast_to(np.zeros((1, 1, 1), np.uint8), (65536, 65536, 1))), OverflowError, BIG, None),
        # n * h * w bytes beyond the machine's memory: refused before allocating.
        (lambda: z.decode([rle_with(size=[65535, 65535])] * 100000), MemoryError, None, None),
    ],
)
def test_error_types_messages_and_notes(call, exc, message, note):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


def test_h_is_converted_before_w_and_before_the_geometry():
    with pytest.raises(OverflowError) as info:
        z.frPyObjects(None, -1, -1)
    assert info.value.__notes__ == ["while processing 'h'"]
