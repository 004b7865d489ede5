"""Evaluator against the reference COCO and LVIS evaluations, plus its surface:
record conversion defaults and messages, outputs, per-instance verdicts, LVIS
configuration, thread independence and the borrow flag."""

import contextlib
import copy
import io
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import evalgen
from vantorel._zerlin import Evaluator

DATA = Path(__file__).resolve().parent.parent / "data"
COCO_AREAS = [[0.0, 1e10], [0.0, 1024.0], [1024.0, 9216.0], [9216.0, 1e10]]
IOU = [0.5 + 0.05 * i for i in range(10)]
REC = [i / 100 for i in range(101)]

pycocotools = pytest.importorskip("pycocotools")
from pycocotools.coco import COCO  # noqa: E402
from pycocotools.cocoeval import COCOeval  # noqa: E402


def reference(gt_dict, results, iou_type, **params):
    """pycocotools' COCOeval after evaluate() and accumulate()."""
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO()
        gt.dataset = copy.deepcopy(gt_dict)
        gt.createIndex()
        dt = gt.loadRes(copy.deepcopy(results))
        E = COCOeval(gt, dt, iou_type)
        for k, v in params.items():
            setattr(E.params, k, v)
        E.evaluate()
        E.accumulate()
    return E


def sizes_of(gt):
    return {im["id"]: (im["height"], im["width"]) for im in gt["images"]}


def ours(E, iou_type, **kw):
    p = E.params
    # With categories pooled the reference replaces catIds by [-1]; every
    # category still takes part.
    cat_ids = list(p.catIds) if p.useCats else sorted(E.cocoGt.getCatIds())
    return Evaluator(
        E.cocoGt.dataset["annotations"],
        E.cocoDt.dataset["annotations"],
        sizes_of(E.cocoGt.dataset),
        list(p.imgIds),
        cat_ids,
        list(p.iouThrs),
        list(p.recThrs),
        list(p.maxDets),
        [list(a) for a in p.areaRng],
        bool(p.useCats),
        iou_type,
        list(getattr(p, "kpt_oks_sigmas", [])),
        **kw,
    )


def assert_same_as_reference(E, r):
    for key in ("precision", "recall", "scores"):
        assert r[key].shape == E.eval[key].shape, key
        np.testing.assert_array_equal(r[key], E.eval[key], err_msg=key)
    assert len(r["evalImgs"]) == len(E.evalImgs)
    n = 0
    for ref, got in zip(E.evalImgs, r["evalImgs"]):
        if ref is None:
            assert got is None
            continue
        assert got["image_id"] == ref["image_id"] and got["category_id"] == ref["category_id"]
        assert E.params.areaRng[got["aRng"]] == ref["aRng"] and got["maxDet"] == ref["maxDet"]
        for key in ("dtIds", "gtIds", "dtScores"):
            assert got[key] == list(ref[key]), key
        for key in ("dtMatches", "gtMatches", "dtIgnore", "gtIgnore"):
            np.testing.assert_array_equal(
                got[key], np.asarray(ref[key], dtype=float).reshape(got[key].shape), err_msg=key
            )
        n += 1
    assert n > 0


def summary(r, iou_thrs=IOU):
    """The twelve COCO summary values, averaged as the reference does."""
    p, rc = r["precision"], r["recall"]
    t50, t75 = iou_thrs.index(0.5), [round(t, 10) for t in iou_thrs].index(0.75)

    def mean(s):
        s = s[s > -1]
        return -1.0 if s.size == 0 else float(np.mean(s))

    return [
        mean(p[:, :, :, 0, 2]),
        mean(p[t50, :, :, 0, 2]),
        mean(p[t75, :, :, 0, 2]),
        mean(p[:, :, :, 1, 2]),
        mean(p[:, :, :, 2, 2]),
        mean(p[:, :, :, 3, 2]),
        mean(rc[:, :, 0, 0]),
        mean(rc[:, :, 0, 1]),
        mean(rc[:, :, 0, 2]),
        mean(rc[:, :, 1, 2]),
        mean(rc[:, :, 2, 2]),
        mean(rc[:, :, 3, 2]),
    ]


# --------------------------------------------------------------- exactness


def test_real_bbox_results_match_reference_and_published_stats():
    gt = json.loads((DATA / "instances_val2014_100.json").read_text())
    res = json.loads((DATA / "instances_val2014_fakebbox100_results.json").read_text())
    E = reference(gt, res, "bbox")
    r = ours(E, "bbox").run(collect_eval_imgs=True)
    assert_same_as_reference(E, r)
    assert summary(r) == [
        0.5045806987249628,
        0.6969727247299577,
        0.5729816669904824,
        0.5856257209410443,
        0.5193996948036719,
        0.5013978986347466,
        0.38681277964578054,
        0.5936795762842003,
        0.595352982877607,
        0.6398109626113442,
        0.5664205978994309,
        0.5642905982905982,
    ]


BBOX_CASES = [
    {},
    {"useCats": 0},
    {"iouThrs": np.array([0.1, 0.35, 0.5, 0.99, 1.0])},
    {"maxDets": [5, 20]},
    {"maxDets": [1, 10, 100], "recThrs": np.array([0.0, 0.5, 0.25, 1.0, 1.2, 0.1])},
    {"areaRng": [[0, 1e10], [1024.0, 1024.0], [0, 9216.0], [9216.0, 9216.0]]},
]


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("params", BBOX_CASES, ids=lambda p: ",".join(p) or "default")
def test_random_bbox_matches_reference(seed, params):
    gt = evalgen.dataset(seed)
    E = reference(gt, evalgen.results(seed + 100, gt), "bbox", **params)
    r = ours(E, "bbox").run(collect_eval_imgs=True)
    assert_same_as_reference(E, r)
    assert (r["precision"] > 0).any()


# Pooled categories are left out here: the reference's keypoint similarity
# looks up (image, -1) and so never matches anything when useCats is 0.
KEYPOINT_CASES = [{}, {"maxDets": [5, 20]}, {"iouThrs": np.array([0.2, 0.5, 0.9, 1.0])}]


@pytest.mark.parametrize("seed", [3, 4])
@pytest.mark.parametrize("params", KEYPOINT_CASES, ids=lambda p: ",".join(p) or "default")
def test_random_keypoints_match_reference(seed, params):
    gt = evalgen.dataset(seed, n_cats=3, keypoints=True)
    E = reference(gt, evalgen.results(seed + 100, gt, keypoints=True), "keypoints", **params)
    r = ours(E, "keypoints").run(collect_eval_imgs=True)
    assert_same_as_reference(E, r)
    assert (r["precision"] > 0).any()
    # "keypoints_crowd" is the same evaluation.
    np.testing.assert_array_equal(ours(E, "keypoints_crowd").run()["precision"], r["precision"])


def test_pooled_keypoints_equal_the_single_category_result():
    gt = evalgen.dataset(6, n_cats=2, keypoints=True)  # only the first category has annotations
    only = gt["categories"][0]["id"]
    res = [d for d in evalgen.results(7, gt, keypoints=True) if d["category_id"] == only]
    E = reference(gt, res, "keypoints")
    per_cat = ours(E, "keypoints").run()
    E.params.useCats = 0
    pooled = ours(E, "keypoints").run()
    assert pooled["counts"][2] == 1
    for key in ("precision", "recall", "scores"):
        np.testing.assert_array_equal(
            pooled[key][..., 0, :, :] if key == "recall" else pooled[key][:, :, 0],
            per_cat[key][..., 0, :, :] if key == "recall" else per_cat[key][:, :, 0],
        )
    assert (pooled["precision"] > 0).any()


def test_lvis_matches_reference_evaluator():
    lvis = pytest.importorskip("lvis")
    if not hasattr(np, "float"):
        np.float = float  # noqa: NPY001 -- the reference still spells the removed alias
    gt = json.loads((DATA / "lvis_val_100.json").read_text())
    res = evalgen.lvis_results(5, gt)
    with contextlib.redirect_stdout(io.StringIO()):
        lgt = lvis.LVIS(str(DATA / "lvis_val_100.json"))
        ldt = lvis.LVISResults(lgt, copy.deepcopy(res), max_dets=300)
        ref = lvis.LVISEval(lgt, ldt, iou_type="bbox")
        ref.evaluate()
        ref.accumulate()
    p = ref.params
    gt_anns = gt["annotations"]
    # Federated rules: detections of categories the image says nothing about are dropped.
    known = {im["id"]: set(im["neg_category_ids"]) for im in gt["images"]}
    for a in gt_anns:
        known[a["image_id"]].add(a["category_id"])
    dts = [d for d in ldt.dataset["annotations"] if d["category_id"] in known[d["image_id"]]]
    assert len(dts) < len(ldt.dataset["annotations"])
    ev = Evaluator(
        gt_anns,
        dts,
        {},
        list(p.img_ids),
        list(p.cat_ids),
        list(p.iou_thrs),
        list(p.rec_thrs),
        [p.max_dets],
        [list(a) for a in p.area_rng],
        True,
        "bbox",
        [],
    )
    ev.configure_lvis(
        [bool(a.get("ignore", 0)) for a in gt_anns],
        [(im["id"], c) for im in gt["images"] for c in im["not_exhaustive_category_ids"]],
    )
    r = ev.run()
    np.testing.assert_array_equal(r["precision"][..., 0], ref.eval["precision"])
    np.testing.assert_array_equal(r["recall"][..., 0], ref.eval["recall"])
    assert (r["precision"] > 0).any()


# --------------------------------------------------------------- per-instance verdicts


def make_random(seed=9, n_images=40, **kw):
    gt = evalgen.dataset(seed, n_images=n_images)
    res = evalgen.results(seed + 1, gt)
    for i, d in enumerate(res):
        d.update(id=i + 1, area=d["bbox"][2] * d["bbox"][3], iscrowd=0)
    imgs = sorted(im["id"] for im in gt["images"])
    cats = sorted(c["id"] for c in gt["categories"])
    return Evaluator(gt["annotations"], res, {}, imgs, cats, IOU, REC, [1, 10, 100], COCO_AREAS, True, "bbox", [], **kw)


def test_ids_beyond_32_bits_keep_their_values():
    # COCO's crowd annotations have ids near 9e11: ids must be read as 64-bit
    # integers (a C long has 32 bits on Windows).
    gt = evalgen.dataset(9, n_images=20)
    res = evalgen.results(10, gt)
    shift = {"image_id": 2**40, "category_id": 2**33}

    def wide(anns, base):
        return [{**a, "id": base + i, **{k: a[k] + v for k, v in shift.items()}} for i, a in enumerate(anns)]

    for i, d in enumerate(res):
        d.update(id=i + 1, area=d["bbox"][2] * d["bbox"][3], iscrowd=0)
    imgs = sorted(im["id"] for im in gt["images"])
    cats = sorted(c["id"] for c in gt["categories"])
    args = ({}, imgs, cats, IOU, REC, [1, 10, 100], COCO_AREAS, True, "bbox", [])
    small = Evaluator(gt["annotations"], res, *args)
    big = Evaluator(
        wide(gt["annotations"], 900_000_000_000),
        wide(res, 2**35),
        {},
        [i + shift["image_id"] for i in imgs],
        [c + shift["category_id"] for c in cats],
        *args[3:],
    )
    want, got = small.run(), big.run()
    for key in ("precision", "recall", "scores"):
        np.testing.assert_array_equal(want[key], got[key])
    dts, gts = big.per_instance(0, 0, 100)
    assert dts["image_id"].min() > 2**40 and dts["category_id"].min() > 2**33
    assert dts["dt_id"].min() >= 2**35 and gts["gt_id"].min() >= 900_000_000_000


@pytest.mark.parametrize("t_idx,a_idx", [(0, 0), (5, 1), (9, 3)])
def test_per_instance_agrees_with_eval_records(t_idx, a_idx):
    ev = make_random()
    r = ev.run(collect_eval_imgs=True)
    dts, gts = ev.per_instance(t_idx, a_idx, 100)
    assert list(dts) == ["image_id", "category_id", "dt_id", "gt_id", "score", "iou", "ignore"]
    assert list(gts) == ["image_id", "category_id", "gt_id", "ignore", "matched"]
    assert [a.dtype for a in dts.values()] == [np.int64] * 4 + [np.float64] * 2 + [np.bool_]
    assert [a.dtype for a in gts.values()] == [np.int64] * 3 + [np.bool_] * 2
    want_dt, want_gt = [], []
    n_img = len(r["evalImgs"]) // (r["counts"][2] * r["counts"][3])
    for k in range(r["counts"][2]):
        for e in r["evalImgs"][(k * 4 + a_idx) * n_img : (k * 4 + a_idx + 1) * n_img]:
            if e is None:
                continue
            for d, dt_id in enumerate(e["dtIds"]):
                m = int(e["dtMatches"][t_idx, d])
                want_dt.append(
                    (e["image_id"], e["category_id"], dt_id, m or -1, e["dtScores"][d], bool(e["dtIgnore"][t_idx, d]))
                )
            for g, gt_id in enumerate(e["gtIds"]):
                want_gt.append(
                    (e["image_id"], e["category_id"], gt_id, bool(e["gtIgnore"][g]), bool(e["gtMatches"][t_idx, g]))
                )
    got_dt = list(zip(*(dts[k].tolist() for k in ("image_id", "category_id", "dt_id", "gt_id", "score", "ignore"))))
    got_gt = list(zip(*(gts[k].tolist() for k in gts)))
    assert got_dt == want_dt and got_gt == want_gt
    matched = dts["gt_id"] >= 0
    assert (dts["iou"][matched] >= min(IOU[t_idx], 1 - 1e-10)).all() and (dts["iou"][~matched] == 0).all()


def test_per_instance_arguments_and_caps():
    ev = make_random()
    full = ev.per_instance()
    for other in (ev.per_instance(0, 0, 100), ev.per_instance(t_idx=0, a_idx=0, max_det=100)):
        for a, b in zip(full, other):
            assert all(np.array_equal(a[k], b[k]) for k in a)
    one_dt, one_gt = ev.per_instance(max_det=1)
    pairs = list(zip(one_dt["image_id"].tolist(), one_dt["category_id"].tolist()))
    assert len(pairs) == len(set(pairs)) and len(pairs) < len(full[0]["dt_id"])
    assert one_gt["matched"].sum() == (one_dt["gt_id"] >= 0).sum()
    with pytest.raises(OverflowError) as info:
        ev.per_instance(t_idx=-1)
    assert "while processing 't_idx'" in info.value.__notes__
    with pytest.raises(ValueError, match="t_idx 10 is out of range"):
        ev.per_instance(t_idx=10)
    with pytest.raises(ValueError, match="a_idx 4 is out of range"):
        ev.per_instance(a_idx=4)


# --------------------------------------------------------------- threads


THREAD_SCRIPT = """
import os, sys
os.sched_setaffinity(0, {0})
sys.path.insert(0, sys.argv[1])
import numpy as np
from test_evaluator import make_random
ev = make_random(seed=17, n_images=300)
r = ev.run()
dts, _ = ev.per_instance(2, 0, 100)
np.savez(sys.argv[2], precision=r["precision"], recall=r["recall"], scores=r["scores"], iou=dts["iou"])
"""


def test_results_do_not_depend_on_cpu_count(tmp_path):
    if not hasattr(os, "sched_setaffinity"):
        pytest.skip("pins a child to one CPU with sched_setaffinity (Linux only)")
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    out = tmp_path / "one_cpu.npz"
    subprocess.run(
        [sys.executable, "-c", THREAD_SCRIPT, str(Path(__file__).parent), str(out)], check=True, cwd=tmp_path
    )
    one = np.load(out)
    ev = make_random(seed=17, n_images=300)
    r = ev.run()
    for key in ("precision", "recall", "scores"):
        np.testing.assert_array_equal(one[key], r[key])
    np.testing.assert_array_equal(one["iou"], ev.per_instance(2, 0, 100)[0]["iou"])


def test_configure_lvis_during_run_is_refused():
    ev = make_random(seed=3, n_images=1500)
    flags = [False] * len(evalgen.dataset(3, n_images=1500)["annotations"])
    refused = None
    for _ in range(20):
        worker = threading.Thread(target=ev.run)
        worker.start()
        try:
            while worker.is_alive():
                try:
                    ev.configure_lvis(flags, [], preserve_crowds=True)
                except RuntimeError as e:
                    refused = e
                    break
        finally:
            worker.join()
        if refused:
            break
    assert refused is not None and str(refused) == "Already borrowed"
    ev.configure_lvis(flags, [], preserve_crowds=True)  # free again afterwards


# --------------------------------------------------------------- construction and records


def build(gt, dt, iou_type="bbox", img_ids=(7,), cat_ids=(1, 2), **kw):
    args = dict(
        img_sizes={},
        img_ids=list(img_ids),
        cat_ids=list(cat_ids),
        iou_thrs=[0.5, 0.75],
        rec_thrs=[0.0, 0.5, 1.0],
        max_dets=[1, 10],
        area_rng=[[0, 1e10], [0, 100], [100, 1e10], [50, 200]],
        use_cats=True,
        iou_type=iou_type,
        kpt_sigmas=[0.5, 0.5],
    )
    args.update(kw)
    return Evaluator(gt, dt, **args)


def record(ev, a=0, k=0, i=0):
    r = ev.run(collect_eval_imgs=True)
    n_img = len(r["evalImgs"]) // (r["counts"][2] * r["counts"][3])
    return r["evalImgs"][(k * r["counts"][3] + a) * n_img + i]


def test_defaults_of_detection_rows():
    gt = [{"image_id": 7, "category_id": 1, "bbox": [0, 0, 10, 10]}]
    dt = [
        {"image_id": 7, "category_id": 1, "bbox": [0, 0, 10, 10]},
        {"image_id": 7, "category_id": 1, "bbox": None, "score": 0.25},
        {"image_id": 7, "category_id": 1, "bbox": (0, 0, 12, 5), "score": 0.5, "id": 40, "area": None},
    ]
    e = record(build(gt, dt))
    assert e["dtIds"] == [40, 2, 1] and e["dtScores"] == [0.5, 0.25, 0.0]
    assert e["gtIds"] == [1]
    # Range [50, 200]: areas 60 (from the box), 0 (box None) and 100.
    dts, _ = build(gt, dt).per_instance(a_idx=3)
    assert dts["ignore"].tolist() == [False, True, False] and dts["gt_id"].tolist() == [-1, -1, 1]


@pytest.mark.parametrize("value,crowd", [(0, False), (None, False), (2, True), (True, True)])
def test_iscrowd_values(value, crowd):
    gt = [{"image_id": 7, "category_id": 1, "bbox": [0, 0, 10, 10], "iscrowd": value}]
    assert record(build(gt, []))["gtIgnore"].tolist() == [float(crowd)]


def test_num_keypoints_ignores_only_in_keypoint_mode():
    gt = [
        {"image_id": 7, "category_id": 1, "bbox": [0, 0, 10, 10], "num_keypoints": 0, "keypoints": [1, 1, 2, 5, 5, 2]},
        {"image_id": 7, "category_id": 1, "bbox": [0, 0, 10, 10], "keypoints": [1, 1, 2, 5, 5, 2]},
        {"image_id": 7, "category_id": 1, "bbox": [0, 0, 10, 10], "num_keypoints": 2, "keypoints": [1, 1, 2, 5, 5, 2]},
    ]
    assert record(build(gt, []))["gtIgnore"].tolist() == [0.0, 0.0, 0.0]
    e = record(build(gt, [], "keypoints"))
    assert e["gtIds"] == [3, 1, 2] and e["gtIgnore"].tolist() == [0.0, 1.0, 1.0]


def test_keypoint_rows_without_lists_keep_later_rows_in_place():
    gt = [
        {
            "image_id": 7,
            "category_id": 1,
            "bbox": [0, 0, 20, 20],
            "area": 400,
            "num_keypoints": 2,
            "keypoints": [10, 10, 2, 15, 15, 2],
        }
    ]
    dt = [
        {"image_id": 7, "category_id": 1, "score": 0.9},  # no keypoints: before K is known
        {"image_id": 7, "category_id": 1, "score": 0.8, "keypoints": [10, 10, 1, 15, 15, 1]},
        {"image_id": 7, "category_id": 1, "score": 0.7, "keypoints": None},
    ]
    dts, _ = build(gt, dt, "keypoints", kpt_sigmas=[0.05, 0.05]).per_instance()
    assert dts["dt_id"].tolist() == [1, 2, 3]
    assert dts["gt_id"].tolist() == [-1, 1, -1] and dts["iou"][1] == 1.0


CONVERSION_ERRORS = [
    ([1], [], ValueError, "annotations must be dicts"),
    ([{"category_id": 1}], [], KeyError, "annotation is missing 'image_id'"),
    ([{"image_id": None}], [], KeyError, "annotation is missing 'image_id'"),
    ([], [{"image_id": 7, "bbox": [1, 2, 3]}], ValueError, "'bbox' must have 4 entries"),
    ([], [{"image_id": 7, "bbox": (1, 2, 3, 4, 5)}], ValueError, "'bbox' must have 4 entries"),
    ([], [{"image_id": 7, "bbox": "abcd"}], TypeError, "Can't extract `str` to `Vec`"),
    ([], [{"image_id": 7.0}], TypeError, None),
    ([], [{"image_id": 7, "score": "x"}], TypeError, None),
    ([], [{"image_id": 7, "iscrowd": 0.5}], TypeError, None),
]


@pytest.mark.parametrize("gt,dt,exc,message", CONVERSION_ERRORS)
def test_conversion_errors(gt, dt, exc, message):
    with pytest.raises(exc) as info:
        build(gt, dt)
    if message is not None:
        assert info.value.args[0] == message


def test_keypoint_triplet_errors():
    msg = "keypoints must contain the same number of x/y/visibility triplets"
    kp = lambda n: {"image_id": 7, "keypoints": [1.0] * n}  # noqa: E731
    for gt in ([kp(51), kp(54)], [kp(50)], [kp(6), kp(0)]):
        with pytest.raises(ValueError, match=msg):
            build(gt, [], "keypoints")
    build([kp(0), kp(6)], [], "keypoints")  # an empty list before K is fixed adds nothing
    with pytest.raises(ValueError, match=msg):  # the two sides must agree on K
        build([kp(6)], [kp(9)], "keypoints")


def test_argument_errors():
    with pytest.raises(ValueError) as info:
        build([], [], "BBOX")
    assert str(info.value) == 'iouType must be one of segm, bbox, keypoints, boundary; got "BBOX"'
    with pytest.raises(ValueError) as info:
        build([], [], 'a"b\\c\n')
    assert str(info.value).endswith('got "a\\"b\\\\c\\n"')
    with pytest.raises(TypeError, match="'tuple' object is not an instance of 'list'"):
        build(({"image_id": 7},), [])
    with pytest.raises(TypeError) as info:
        build([], [], iou_thrs="0.5")
    assert str(info.value) == "Can't extract `str` to `Vec`"
    assert info.value.__notes__ == ["while processing 'iou_thrs'"]
    with pytest.raises(ValueError, match="expected tuple of length 2, but got tuple of length 3") as info:
        build([], [], img_sizes={1: (480, 640, 3)})
    assert info.value.__notes__ == ["while processing 'img_sizes'"]
    with pytest.raises(ValueError, match=r"expected a sequence of length 2 \(got 3\)"):
        build([], [], area_rng=[[0, 1, 2]])
    with pytest.raises(OverflowError):
        build([], [], max_dets=[-1])
    with pytest.raises(TypeError) as info:
        build([], [], use_cats=1)
    assert info.value.__notes__ == ["while processing 'use_cats'"]
    build([], [], use_cats=np.bool_(True), use_area=False, boundary_dilation=0.5)


def test_empty_sides_give_empty_cells():
    ev = build([], [])
    r = ev.run()
    assert list(r) == ["counts", "precision", "recall", "scores"]
    assert r["counts"] == [2, 3, 2, 4, 2]
    assert r["precision"].shape == (2, 3, 2, 4, 2) and r["recall"].shape == (2, 2, 4, 2)
    assert (r["precision"] == -1).all() and (r["recall"] == -1).all() and (r["scores"] == -1).all()
    assert r["precision"].flags.c_contiguous and r["precision"].base is not None  # handed over, not copied
    dts, gts = ev.per_instance()
    assert all(a.size == 0 for a in dts.values()) and all(a.size == 0 for a in gts.values())
    assert [a.dtype for a in dts.values()] == [np.int64] * 4 + [np.float64] * 2 + [np.bool_]
    t = ev.timings()
    assert list(t) == [
        "gt_read",
        "dt_read",
        "read_blocked",
        "rasterise",
        "group_index",
        "iou_cpu",
        "match_cpu",
        "accumulate_cpu",
    ]
    assert t["rasterise"] == t["read_blocked"] == 0.0 and all(isinstance(v, float) for v in t.values())


def test_eval_imgs_layout_and_shapes():
    gt = [
        {"image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10]},
        {"image_id": 3, "category_id": 2, "bbox": [0, 0, 10, 10]},
    ]
    dt = [{"image_id": 3, "category_id": 1, "bbox": [0, 0, 10, 10], "score": 0.5}]
    r = build(gt, dt, img_ids=[1, 2, 3]).run(collect_eval_imgs=True)
    ei = r["evalImgs"]
    assert len(ei) == 24
    for a in range(4):
        assert ei[(0 * 4 + a) * 3 + 1] is None and ei[(1 * 4 + a) * 3 + 0] is None
        e = ei[(0 * 4 + a) * 3 + 2]
        assert (e["image_id"], e["category_id"], e["aRng"], e["maxDet"]) == (3, 1, a, 10)
        assert list(e) == [
            "image_id",
            "category_id",
            "aRng",
            "maxDet",
            "dtIds",
            "gtIds",
            "dtScores",
            "dtMatches",
            "gtMatches",
            "gtIgnore",
            "dtIgnore",
        ]
        assert e["gtMatches"].shape == (2, 0) and e["gtIgnore"].shape == (0,) and e["dtMatches"].shape == (2, 1)
        g = ei[(0 * 4 + a) * 3 + 0]
        assert g["dtIds"] == [] and g["dtScores"] == [] and g["dtMatches"].shape == (2, 0)
        assert g["dtIgnore"].shape == (2, 0) and g["dtMatches"].dtype == np.float64
    pooled = build(gt, dt, img_ids=[1, 2, 3], use_cats=False).run(collect_eval_imgs=True)
    assert pooled["counts"][2] == 1 and len(pooled["evalImgs"]) == 12
    assert {e["category_id"] for e in pooled["evalImgs"] if e} == {-1}


def test_run_twice_gives_equal_arrays_and_growing_timings():
    ev = make_random()
    a = ev.run()
    t1 = ev.timings()
    b = ev.run()
    t2 = ev.timings()
    for key in ("precision", "recall", "scores"):
        np.testing.assert_array_equal(a[key], b[key])
    assert t2["match_cpu"] > t1["match_cpu"] > 0 and t2["gt_read"] == t1["gt_read"] > 0


def test_configure_lvis_arguments_and_effect():
    gt = [
        {"image_id": 7, "category_id": 1, "bbox": [0, 0, 100, 100], "iscrowd": 1},
        {"image_id": 7, "category_id": 1, "bbox": [200, 200, 10, 10]},
    ]
    dt = [
        {"image_id": 7, "category_id": 1, "bbox": [10, 10, 20, 20], "score": 0.9},
        {"image_id": 7, "category_id": 1, "bbox": [500, 500, 20, 20], "score": 0.8},
    ]
    ev = build(gt, dt)
    for bad, exc, msg in [
        (([0, 1], []), TypeError, None),
        (("ab", []), TypeError, "Can't extract `str` to `Vec`"),
        ((5, []), TypeError, "'int' object is not an instance of 'Sequence'"),
        (([False, False], [[7, 1]]), TypeError, "'list' object is not an instance of 'tuple'"),
        (([False, False], [(7, 1, 2)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (([False], []), ValueError, "LVIS ignore flags do not match ground-truth length"),
    ]:
        with pytest.raises(exc) as info:
            ev.configure_lvis(*bad)
        if msg:
            assert str(info.value) == msg
    assert ev.per_instance()[0]["iou"][0] == 1.0  # unchanged: crowd rule
    ev.configure_lvis([False, np.bool_(False)], [(7, 1)], preserve_crowds=True)
    dts, gts = ev.per_instance()
    # The ignore column is replaced, so the crowd match now counts; the
    # unmatched detection of a non-exhaustive pair is ignored.
    assert dts["iou"][0] == 1.0 and dts["ignore"].tolist() == [False, True]
    ev.configure_lvis([False, True], [(8, 1), (7, 99)])  # pairs that name nothing
    dts, gts = ev.per_instance()
    assert dts["gt_id"].tolist() == [-1, -1] and dts["ignore"].tolist() == [False, False]
    assert gts["ignore"].tolist() == [False, True]
    build([], []).configure_lvis([], [])


def test_evaluator_calls_do_not_leak():
    from test_leaks import STATM, assert_memory_flat, run_many

    gt = evalgen.dataset(2, n_images=10)
    dt = evalgen.results(3, gt)
    imgs = [im["id"] for im in gt["images"]]
    calls = [
        lambda: build(gt["annotations"], dt, img_ids=imgs, cat_ids=[1, 4, 7]).run(collect_eval_imgs=True),
        lambda: build(gt["annotations"], dt, img_ids=imgs, cat_ids=[1, 4]).per_instance(1, 2, 5),
        lambda: build(gt["annotations"], dt + [{"image_id": 1, "bbox": [1]}]),
        lambda: build([], [], iou_thrs=[0.5, "x"]),
    ]
    tracked = [gt["annotations"], dt] + gt["annotations"][:3] + [a["bbox"] for a in dt[:3]]
    for fn in calls:
        run_many(fn, 30)
        import gc

        gc.collect()
        before = [sys.getrefcount(o) for o in tracked]
        run_many(fn, 300)
        gc.collect()
        assert [sys.getrefcount(o) for o in tracked] == before
        if os.path.exists(STATM):
            assert_memory_flat(fn, 300)


# --------------------------------------------------------------- masks


def test_real_segm_results_match_reference_and_published_stats():
    gt = json.loads((DATA / "instances_val2014_100.json").read_text())
    res = json.loads((DATA / "instances_val2014_fakesegm100_results.json").read_text())
    E = reference(gt, res, "segm")
    ev = ours(E, "segm")
    r = ev.run(collect_eval_imgs=True)
    assert_same_as_reference(E, r)
    with contextlib.redirect_stdout(io.StringIO()):
        E.summarize()
    assert summary(r) == list(E.stats)
    # The published table was made with another NumPy build, whose mean of the
    # same cells differs in the last bit for "AP small"; the cells agree exactly.
    assert summary(r) == pytest.approx(
        [
            0.3195452758576433,
            0.5622883972521636,
            0.29892653412086784,
            0.3873740315997838,
            0.31018272403369485,
            0.3269339071005138,
            0.2682297225711534,
            0.41544868114906375,
            0.4168394992198818,
            0.4694498622754236,
            0.37675922666197265,
            0.3814715099715099,
        ],
        rel=1e-15,
    )
    t = ev.timings()
    assert t["rasterise"] > 0


def rle_results(res, sizes, as_str):
    """Result polygons as compressed RLEs, made by the reference mask API."""
    from pycocotools import mask as mu

    for d in res:
        h, w = sizes[d["image_id"]]
        rle = mu.merge(mu.frPyObjects(d["segmentation"], h, w))
        if as_str:
            rle["counts"] = rle["counts"].decode()
        d["segmentation"] = rle
    return res


@pytest.mark.parametrize(
    "seed,params,as_str",
    [(1, {}, False), (2, {"useCats": 0}, True), (3, {"iouThrs": np.array([0.3, 0.6, 1.0]), "maxDets": [3, 7]}, False)],
)
def test_random_segm_matches_reference(seed, params, as_str):
    base = evalgen.dataset(seed)
    gt, res = evalgen.with_segmentation(seed, base, evalgen.results(seed + 50, base))
    res = rle_results(res, sizes_of(gt), as_str)
    E = reference(gt, res, "segm", **params)
    r = ours(E, "segm").run(collect_eval_imgs=True)
    assert_same_as_reference(E, r)
    assert (r["precision"] > 0).any()


def erode_boundary(mask, ratio):
    """Mask minus its erosion by a 3x3 square, repeated per the dilation ratio."""
    h, w = mask.shape
    n = max(1, round(ratio * (h * h + w * w) ** 0.5))
    cur = mask.astype(bool)
    for _ in range(n):
        pad = np.pad(cur, 1)
        cur = np.logical_and.reduce(
            [pad[1 + dy : 1 + dy + h, 1 + dx : 1 + dx + w] for dy in (-1, 0, 1) for dx in (-1, 0, 1)]
        )
    return mask.astype(bool) & ~cur


def test_boundary_iou_is_the_smaller_of_mask_and_boundary_iou():
    from pycocotools import mask as mu

    rng = np.random.default_rng(4)
    images = [{"id": i + 1, "height": 100, "width": 100} for i in range(12)]
    gts, dts, want = [], [], []
    for im in images:
        x, y = rng.uniform(5, 40, 2)
        box = [float(x), float(y), 50.0, 45.0]
        crowd = im["id"] % 4 == 0
        g = {
            "id": im["id"],
            "image_id": im["id"],
            "category_id": 1,
            "bbox": box,
            "iscrowd": int(crowd),
            "segmentation": [[x, y, x + 50, y + 5, x + 40, y + 45, x + 3, y + 40]],
        }
        shift = rng.uniform(-6, 6, 2)
        d = {
            "id": im["id"],
            "image_id": im["id"],
            "category_id": 1,
            "score": 0.5,
            "bbox": box,
            "segmentation": [[v + shift[i % 2] for i, v in enumerate(g["segmentation"][0])]],
        }
        gts.append(g)
        dts.append(d)
        rg, rd = (mu.merge(mu.frPyObjects(a["segmentation"], 100, 100)) for a in (g, d))
        m_iou = mu.iou([rd], [rg], [int(crowd)])[0, 0]
        bg, bd = (mu.encode(np.asfortranarray(erode_boundary(mu.decode(r), 0.02).astype(np.uint8))) for r in (rg, rd))
        b_iou = mu.iou([bd], [bg], [int(crowd)])[0, 0]
        want.append(m_iou if crowd else min(m_iou, b_iou))
    sizes = {im["id"]: (100, 100) for im in images}
    args = (gts, dts, sizes, [im["id"] for im in images], [1], [0.0], [0.0], [1], [[0, 1e10]], True)
    got = Evaluator(*args, "boundary", []).per_instance()[0]["iou"]
    np.testing.assert_array_equal(got, want)
    plain = Evaluator(*args, "segm", []).per_instance()[0]["iou"]
    assert (got <= plain).all() and (got < plain).any()
    wider = Evaluator(*args, "boundary", [], boundary_dilation=0.2).per_instance()[0]["iou"]
    assert not np.array_equal(wider, got)


def test_mask_rows_and_their_errors():
    sizes = {1: (10, 10)}
    square = [[0, 0, 10, 0, 10, 10, 0, 10]]
    gt = [
        {"image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10]},  # no segmentation: its box
        {"image_id": 1, "category_id": 2, "segmentation": {"counts": [0, 100], "size": [5, 5]}},  # sized by img_sizes
        {"image_id": 1, "category_id": 3},
    ]  # neither: an empty mask
    dt = [{"image_id": 1, "category_id": k, "score": 0.5, "segmentation": square} for k in (1, 2, 3)]
    args = dict(
        img_sizes=sizes,
        img_ids=[1],
        cat_ids=[1, 2, 3],
        iou_thrs=[0.0],
        rec_thrs=[0.0],
        max_dets=[5],
        area_rng=[[0, 1e10]],
        use_cats=True,
        kpt_sigmas=[],
    )
    for kind in ("segm", "boundary"):
        dts, _ = Evaluator(gt, dt, iou_type=kind, **args).per_instance()
        assert dts["iou"].tolist() == [1.0, 1.0, 0.0]
    for bad, exc, msg in [
        ({"image_id": 5, "segmentation": square}, KeyError, "no image entry for image_id 5"),
        ({"image_id": 1, "segmentation": {"size": [10, 10]}}, ValueError, "RLE segmentation is missing 'counts'"),
        ({"image_id": 1, "segmentation": {"counts": [1, -2]}}, OverflowError, None),
        ({"image_id": 1, "segmentation": 7}, TypeError, None),
        ({"image_id": 1, "segmentation": [[0, 0, "x", 1]]}, TypeError, "must be real number, not str"),
    ]:
        with pytest.raises(exc) as info:
            Evaluator([bad], [], iou_type="segm", **args)
        if msg:
            assert info.value.args[0] == msg
    # A side of 4097 masks crosses a batch boundary; all rows keep their masks.
    many = [{"image_id": 1, "category_id": 1, "segmentation": square, "id": i + 1} for i in range(4097)]
    ev = Evaluator(many, dt[:1], iou_type="segm", **args)
    assert ev.per_instance()[0]["gt_id"].tolist() == [4097]  # the later of equal IoUs
    assert ev.timings()["rasterise"] > 0


def test_list_changed_by_a_conversion_is_read_safely():
    class Shrinks:
        def __init__(self, owner):
            self.owner = owner

        def __float__(self):
            self.owner.clear()
            return 1.0

    kp = [1.0, 2.0, 2]
    kp.insert(1, Shrinks(kp))
    kp.extend([3.0, 4.0])  # six values, so the length check passes
    box = [0.0, 1.0]
    box += [Shrinks(box), 4.0]
    for gt, kind in (([{"image_id": 7, "keypoints": kp}], "keypoints"), ([{"image_id": 7, "bbox": box}], "bbox")):
        with pytest.raises(IndexError, match="list index out of range"):
            build(gt, [], kind)


# --------------------------------------------------------------- handle sides


def handle_case(tmp_path, kind):
    """Ground truth and results as lists and as files, for one IoU kind."""
    from vantorel._zerlin import load_compact_bbox

    gt = evalgen.dataset(8, keypoints=kind == "keypoints")
    res = evalgen.results(9, gt, keypoints=kind == "keypoints")
    if kind in ("segm", "boundary"):
        boxes = [d["bbox"] for d in res]
        gt, res = evalgen.with_segmentation(10, gt, res)
        for d, b in zip(res, boxes):
            d["bbox"] = b
    for i, d in enumerate(res):
        if kind == "keypoints":  # the box of the points, as the reference loader makes it
            xs, ys = d["keypoints"][0::3], d["keypoints"][1::3]
            d["bbox"] = [min(xs), min(ys), max(xs) - min(xs), max(ys) - min(ys)]
        d.update(id=i + 1, area=d["bbox"][2] * d["bbox"][3], iscrowd=0)
    (tmp_path / "gt.json").write_text(json.dumps(gt))
    (tmp_path / "dt.json").write_text(json.dumps(res))
    _, gt_handle = load_compact_bbox(str(tmp_path / "gt.json"))
    _, dt_handle = load_compact_bbox(str(tmp_path / "dt.json"), results=True)
    args = dict(
        img_sizes=sizes_of(gt),
        img_ids=sorted(sizes_of(gt)),
        cat_ids=sorted(c["id"] for c in gt["categories"]),
        iou_thrs=IOU,
        rec_thrs=REC,
        max_dets=[1, 10, 100],
        area_rng=COCO_AREAS,
        use_cats=True,
        iou_type=kind,
        kpt_sigmas=[0.05] * evalgen.NUM_KEYPOINTS,
    )
    return gt["annotations"], res, gt_handle, dt_handle, args


@pytest.mark.parametrize("kind", ["bbox", "segm", "boundary", "keypoints"])
def test_handle_sides_give_the_list_results(tmp_path, kind):
    gt, res, gt_handle, dt_handle, args = handle_case(tmp_path, kind)
    want = Evaluator(gt, res, **args).run(collect_eval_imgs=True)
    assert (want["precision"] > 0).any()
    for g, d in ((gt_handle, dt_handle), (gt, dt_handle), (gt_handle, res)):
        ev = Evaluator(g, d, **args)
        got = ev.run(collect_eval_imgs=True)
        for key in ("precision", "recall", "scores"):
            np.testing.assert_array_equal(got[key], want[key])
        assert [e and e["dtIds"] for e in got["evalImgs"]] == [e and e["dtIds"] for e in want["evalImgs"]]
        assert ev.timings()["gt_read"] > 0 and ev.timings()["dt_read"] > 0


def test_handle_geometry_errors(tmp_path):
    from vantorel._zerlin import load_compact_bbox

    sizes = {1: (20, 20), 2: (20, 20)}
    good = [[1, 1, 9, 1, 9, 9]]
    gt = {
        "images": [{"id": 1}, {"id": 2}],
        "categories": [{"id": 1}],
        "annotations": [
            {
                "id": 1,
                "image_id": 1,
                "category_id": 1,
                "bbox": [1, 1, 8, 8],
                "area": 64,
                "iscrowd": 0,
                "segmentation": good,
            },
            {
                "id": 2,
                "image_id": 1,
                "category_id": 1,
                "bbox": [1, 1, 8, 8],
                "area": 64,
                "iscrowd": 0,
                "segmentation": [[1, 1, "x"]],
            },
            {
                "id": 3,
                "image_id": 1,
                "category_id": 1,
                "bbox": [1, 1, 8, 8],
                "area": 64,
                "iscrowd": 0,
                "segmentation": {"size": [20, 20]},
            },
        ],
    }
    res = [
        {"image_id": 1, "category_id": 1, "bbox": [1, 1, 8, 8], "score": 0.5, "segmentation": good},
        # an image the ground truth has nothing on: never read
        {"image_id": 2, "category_id": 1, "bbox": [1, 1, 8, 8], "score": 0.5, "segmentation": [[1, "y"]]},
    ]
    (tmp_path / "gt.json").write_text(json.dumps(gt))
    (tmp_path / "dt.json").write_text(json.dumps(res))
    _, gt_handle = load_compact_bbox(str(tmp_path / "gt.json"))
    _, dt_handle = load_compact_bbox(str(tmp_path / "dt.json"), results=True)
    args = dict(
        img_sizes=sizes,
        img_ids=[1, 2],
        cat_ids=[1],
        iou_thrs=[0.5],
        rec_thrs=[0.0],
        max_dets=[10],
        area_rng=[[0, 1e10]],
        use_cats=True,
        kpt_sigmas=[],
    )
    # The first bad row of the ground truth is the one reported, whatever the threads did.
    with pytest.raises(ValueError) as first:
        Evaluator(gt_handle, res[:1], iou_type="segm", **args)
    with pytest.raises(ValueError) as again:
        Evaluator(gt_handle, res[:1], iou_type="segm", **args)
    assert str(first.value) == str(again.value) and "line 1" in str(first.value)
    # Without detections on that image no ground-truth geometry is read.
    Evaluator(gt_handle, [], iou_type="segm", **args)
    # Groups the ground truth lacks are not scanned: the bad detection is never read.
    only_good = [a for a in gt["annotations"] if a["id"] == 1]
    r = Evaluator(only_good, dt_handle, iou_type="segm", **args).run()
    assert r["recall"][0, 0, 0, 0] == 1.0
    # Boxes need no scan at all.
    Evaluator(gt_handle, dt_handle, iou_type="bbox", **args).run()


def _non_finite_twins(kind, res, sizes):
    """Top-scored copies of the first results, as pairs: `far` has geometry
    that overlaps nothing (what the reference is given), `bad` the same
    detection with a NaN or infinite value instead (what we are given)."""
    far, bad = [], []
    for i, d in enumerate(res[:36]):
        f, b = copy.deepcopy(d), copy.deepcopy(d)
        f["score"] = b["score"] = 1.0
        v = (float("nan"), float("inf"), -float("inf"))[i % 3]
        if kind == "bbox":
            f["bbox"][:2] = [1e6, 1e6]
            b["bbox"][i % 4] = v
        elif kind == "keypoints":
            # One coordinate of one keypoint, or every coordinate.
            coords = range(len(d["keypoints"])) if i % 4 == 0 else [3 * (i % evalgen.NUM_KEYPOINTS) + i % 2]
            for j in coords:
                if j % 3 != 2:
                    f["keypoints"][j], b["keypoints"][j] = 1e7, v
        else:
            ring = d["segmentation"][0]
            f["segmentation"] = [[c + 1e6 for c in ring]]
            b["segmentation"] = [ring[: i % len(ring)] + [v] + ring[i % len(ring) + 1 :]]
        far.append(f)
        bad.append(b)
    if kind in ("segm", "boundary"):
        rle_results(far, sizes, False)
    return far, bad


@pytest.mark.parametrize("kind", ["bbox", "segm", "boundary", "keypoints"])
def test_non_finite_geometry_matches_nothing(kind):
    # Deliberately unlike the reference, whose box IoU lets a NaN through (up
    # to IoU 1, a true positive): a detection with a non-finite coordinate,
    # size or keypoint overlaps nothing, exactly as one far outside the image.
    gt = evalgen.dataset(7, n_cats=3, keypoints=kind == "keypoints")
    res = evalgen.results(107, gt, keypoints=kind == "keypoints")
    if kind in ("segm", "boundary"):
        gt, res = evalgen.with_segmentation(7, gt, res)
    far, bad = _non_finite_twins(kind, res, sizes_of(gt))
    if kind in ("segm", "boundary"):
        rle_results(res, sizes_of(gt), False)
    E = reference(gt, res + far, "segm" if kind == "boundary" else kind)
    dts = copy.deepcopy(E.cocoDt.dataset["annotations"])
    key = {"bbox": "bbox", "keypoints": "keypoints"}.get(kind, "segmentation")
    for d, b in zip(dts[len(res) :], bad):
        d[key] = b[key]
    got = Evaluator(gt["annotations"], dts, *ours_args(E, kind)).run(collect_eval_imgs=True)
    if kind == "boundary":
        want = Evaluator(gt["annotations"], E.cocoDt.dataset["annotations"], *ours_args(E, kind)).run()
        for k in ("precision", "recall", "scores"):
            np.testing.assert_array_equal(got[k], want[k])
    else:
        assert_same_as_reference(E, got)
    assert (got["precision"] > 0).any()


def ours_args(E, kind):
    """The Evaluator arguments after the two annotation lists, from a reference run."""
    p = E.params
    return (
        sizes_of(E.cocoGt.dataset),
        list(p.imgIds),
        list(p.catIds),
        list(p.iouThrs),
        list(p.recThrs),
        list(p.maxDets),
        [list(a) for a in p.areaRng],
        bool(p.useCats),
        kind,
        list(getattr(p, "kpt_oks_sigmas", [])),
    )


def test_img_sizes_changed_by_a_conversion_is_read_safely():
    # Converting a key or a size may run Python code that empties the dict;
    # what was taken must stay alive (it was read after being freed).
    sizes = {}

    class Sneaky:
        def __index__(self):
            sizes.clear()
            return 7

    sizes.update({Sneaky(): (Sneaky(), 20), 8: (10, Sneaky())})
    ev = Evaluator([], [], sizes, [7, 8], [1], [0.5], [0.0], [10], [[0, 1e10]], True, "segm", [])
    assert ev.run()["counts"] == [1, 1, 1, 1, 1] and sizes == {}


@pytest.mark.parametrize("kind", ["segm", "boundary"])
def test_handle_rows_outside_the_evaluation_are_not_read(tmp_path, kind):
    from vantorel._zerlin import load_compact_bbox

    ring = [1, 1, 9, 1, 9, 9]
    row = {"bbox": [1, 1, 8, 8], "area": 64, "iscrowd": 0, "score": 0.5}
    anns = [
        dict(row, id=1, image_id=1, category_id=1, segmentation=[ring]),
        # outside img_ids, without an image size: a bad segmentation is never looked at
        dict(row, id=2, image_id=2, category_id=1, segmentation=[[1, "y"]]),
        # outside cat_ids
        dict(row, id=3, image_id=1, category_id=9, segmentation={"size": [20, 20]}),
    ]
    gt = {"images": [{"id": 1}, {"id": 2}], "categories": [{"id": 1}, {"id": 9}], "annotations": anns}
    (tmp_path / "gt.json").write_text(json.dumps(gt))
    (tmp_path / "dt.json").write_text(
        json.dumps([{k: v for k, v in a.items() if k not in ("id", "area", "iscrowd")} for a in anns])
    )
    _, gt_handle = load_compact_bbox(str(tmp_path / "gt.json"))
    _, dt_handle = load_compact_bbox(str(tmp_path / "dt.json"), results=True)
    for g, d in ((gt_handle, dt_handle), (gt_handle, anns[:1]), (anns[:1], dt_handle)):
        r = Evaluator(g, d, {1: (20, 20)}, [1], [1], [0.5], [0.0], [10], [[0, 1e10]], True, kind, []).run()
        assert r["recall"][0, 0, 0, 0] == 1.0


@pytest.mark.parametrize("kind", ["segm", "boundary"])
def test_mask_images_of_2_32_pixels_are_refused(kind):
    # 32-bit pixel indices would wrap (the reference wraps silently); boxes
    # need no mask, and images no row needs are not looked at.
    gt = [{"id": 1, "image_id": 1, "category_id": 1, "bbox": [1, 1, 8, 8], "area": 64, "iscrowd": 0}]
    args = ([1], [1], [0.5], [0.0], [10], [[0, 1e10]], True)
    with pytest.raises(OverflowError, match="mask size 65536 x 65536 has 2\\^32 pixels or more"):
        Evaluator(gt, [], {1: (65536, 65536)}, *args, kind, [])
    assert Evaluator(gt, gt, {1: (65536, 65536)}, *args, "bbox", []).run()["recall"].max() == 1.0
    assert Evaluator(gt, gt, {1: (20, 20), 2: (65536, 65536)}, *args, kind, []).run()["recall"].max() == 1.0


@pytest.mark.parametrize(
    "args,error,text",
    [
        (("not an evaluator", [1], [1], [[0, 1]], 100), TypeError, "not an instance of 'Evaluator'"),
        ((None, [1, 2], [1], [[0, 1]], 100), ValueError, "img_ids has 2 items; the evaluator has 1"),
        ((None, [1], [1], 5, 100), TypeError, "int"),
    ],
)
def test_reference_records_refuse_mismatched_labels(args, error, text):
    from vantorel._zerlin import reference_eval_imgs

    ev = Evaluator([], [], {}, [1], [1], [0.5], [0.0, 1.0], [100], [[0, 1e10]], True, "bbox", [])
    args = (ev if args[0] is None else args[0],) + args[1:]
    with pytest.raises(error, match=text):
        reference_eval_imgs(*args)
