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


def ours(E, iou_type, **kw):
    p = E.params
    # With categories pooled the reference replaces catIds by [-1]; every
    # category still takes part.
    cat_ids = list(p.catIds) if p.useCats else sorted(E.cocoGt.getCatIds())
    return Evaluator(E.cocoGt.dataset["annotations"], E.cocoDt.dataset["annotations"], {}, list(p.imgIds),
                     cat_ids, list(p.iouThrs), list(p.recThrs), list(p.maxDets),
                     [list(a) for a in p.areaRng], bool(p.useCats), iou_type,
                     list(getattr(p, "kpt_oks_sigmas", [])), **kw)


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
            np.testing.assert_array_equal(got[key], np.asarray(ref[key], dtype=float).reshape(got[key].shape),
                                          err_msg=key)
        n += 1
    assert n > 0


def summary(r, iou_thrs=IOU):
    """The twelve COCO summary values, averaged as the reference does."""
    p, rc = r["precision"], r["recall"]
    t50, t75 = iou_thrs.index(0.5), [round(t, 10) for t in iou_thrs].index(0.75)

    def mean(s):
        s = s[s > -1]
        return -1.0 if s.size == 0 else float(np.mean(s))

    return [mean(p[:, :, :, 0, 2]), mean(p[t50, :, :, 0, 2]), mean(p[t75, :, :, 0, 2]),
            mean(p[:, :, :, 1, 2]), mean(p[:, :, :, 2, 2]), mean(p[:, :, :, 3, 2]),
            mean(rc[:, :, 0, 0]), mean(rc[:, :, 0, 1]), mean(rc[:, :, 0, 2]),
            mean(rc[:, :, 1, 2]), mean(rc[:, :, 2, 2]), mean(rc[:, :, 3, 2])]


# --------------------------------------------------------------- exactness


def test_real_bbox_results_match_reference_and_published_stats():
    gt = json.loads((DATA / "instances_val2014_100.json").read_text())
    res = json.loads((DATA / "instances_val2014_fakebbox100_results.json").read_text())
    E = reference(gt, res, "bbox")
    r = ours(E, "bbox").run(collect_eval_imgs=True)
    assert_same_as_reference(E, r)
    assert summary(r) == [0.5045806987249628, 0.6969727247299577, 0.5729816669904824, 0.5856257209410443,
                          0.5193996948036719, 0.5013978986347466, 0.38681277964578054, 0.5936795762842003,
                          0.595352982877607, 0.6398109626113442, 0.5664205978994309, 0.5642905982905982]


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
        np.testing.assert_array_equal(pooled[key][..., 0, :, :] if key == "recall" else pooled[key][:, :, 0],
                                      per_cat[key][..., 0, :, :] if key == "recall" else per_cat[key][:, :, 0])
    assert (pooled["precision"] > 0).any()


def test_lvis_matches_reference_evaluator():
    lvis = pytest.importorskip("lvis")
    if not hasattr(np, "float"):
        np.float = float  # the reference still spells the removed alias
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
    ev = Evaluator(gt_anns, dts, {}, list(p.img_ids), list(p.cat_ids), list(p.iou_thrs), list(p.rec_thrs),
                   [p.max_dets], [list(a) for a in p.area_rng], True, "bbox", [])
    ev.configure_lvis([bool(a.get("ignore", 0)) for a in gt_anns],
                      [(im["id"], c) for im in gt["images"] for c in im["not_exhaustive_category_ids"]])
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
    return Evaluator(gt["annotations"], res, {}, imgs, cats, IOU, REC, [1, 10, 100], COCO_AREAS, True, "bbox", [],
                     **kw)


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
        for e in r["evalImgs"][(k * 4 + a_idx) * n_img:(k * 4 + a_idx + 1) * n_img]:
            if e is None:
                continue
            for d, dt_id in enumerate(e["dtIds"]):
                m = int(e["dtMatches"][t_idx, d])
                want_dt.append((e["image_id"], e["category_id"], dt_id, m or -1, e["dtScores"][d],
                                bool(e["dtIgnore"][t_idx, d])))
            for g, gt_id in enumerate(e["gtIds"]):
                want_gt.append((e["image_id"], e["category_id"], gt_id, bool(e["gtIgnore"][g]),
                                bool(e["gtMatches"][t_idx, g])))
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
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    out = tmp_path / "one_cpu.npz"
    subprocess.run([sys.executable, "-c", THREAD_SCRIPT, str(Path(__file__).parent), str(out)], check=True,
                   cwd=tmp_path)
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
