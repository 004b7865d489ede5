"""The ways detection frameworks drive the COCO API, run once on pycocotools and
once on vantorel.compat: every number and printed line they keep must agree.

Each scenario follows a framework's calling pattern as its documentation and
behaviour describe it (written here from that description, not from its code).
"""

import contextlib
import copy
import io
import json

import numpy as np
import pycocotools.coco
import pycocotools.cocoeval
import pycocotools.mask
import pytest

from compat_oracle import GT_FILE, RESULT_FILES, no_times, quiet, random_case
from vantorel import compat

REF = (pycocotools.coco.COCO, pycocotools.cocoeval, pycocotools.mask)
OURS = (compat.COCO, compat.cocoeval, compat.mask)


def _gt(impl, gt):
    if isinstance(gt, dict):
        coco = impl[0]()
        coco.dataset = copy.deepcopy(gt)
        coco.createIndex()
        return coco
    return impl[0](str(gt))


def torchvision_style(impl, gt, res, iou_type, workers=2, batch=7):
    """Per-batch evaluate() with imgIds of the batch, the evaluation-image
    records reshaped per batch, merged across 'workers' by image id, injected
    back with _paramsEval, then accumulate() and summarize()."""
    coco_gt = _gt(impl, gt)
    img_ids = sorted(coco_gt.getImgIds())
    by_image = {}
    for d in res:
        by_image.setdefault(d["image_id"], []).append(d)
    parts = []
    for w in range(workers):
        ev = impl[1].COCOeval(coco_gt, iouType=iou_type)
        seen, records = [], []
        mine = img_ids[w::workers]
        for start in range(0, len(mine), batch):
            ids = mine[start : start + batch]
            dets = [copy.deepcopy(d) for i in ids for d in by_image.get(i, [])]
            with contextlib.redirect_stdout(io.StringIO()):
                ev.cocoDt = impl[0].loadRes(coco_gt, dets) if dets else impl[0]()
                ev.params.imgIds = list(ids)
                ev.evaluate()
            records.append(np.asarray(ev.evalImgs).reshape(-1, len(ev.params.areaRng), len(ev.params.imgIds)))
            seen.extend(ev.params.imgIds)
        parts.append((seen, np.concatenate(records, 2)))
    all_ids = np.concatenate([np.asarray(s) for s, _ in parts])
    all_recs = np.concatenate([r for _, r in parts], 2)
    merged, idx = np.unique(all_ids, return_index=True)
    ev.evalImgs = list(all_recs[..., idx].flatten())
    ev.params.imgIds = list(merged)
    ev._paramsEval = copy.deepcopy(ev.params)
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        ev.accumulate()
        ev.summarize()
    return ev.stats, ev.eval["precision"], no_times(buf.getvalue())


def detectron2_style(impl, gt, res, iou_type, max_dets=None, sigmas=None):
    """The fast evaluator picked by name (COCOeval_opt), masks with boxes
    dropped, custom maxDets and keypoint sigmas, and per-class AP read from
    eval['precision'][:, :, k, 0, -1]."""
    coco_gt = _gt(impl, gt)
    results = copy.deepcopy(res)
    if iou_type == "segm":
        for r in results:
            r.pop("bbox", None)
    evaluator = getattr(impl[1], "COCOeval_opt", impl[1].COCOeval)
    with contextlib.redirect_stdout(io.StringIO()) as buf:
        coco_dt = coco_gt.loadRes(results)
        ev = evaluator(coco_gt, coco_dt, iou_type)
        if sigmas is not None:
            ev.params.kpt_oks_sigmas = np.array(sigmas)
        if max_dets is not None:
            ev.params.maxDets = max_dets
        ev.evaluate()
        ev.accumulate()
        ev.summarize()
    per_class = []
    for k in range(len(ev.params.catIds)):
        p = ev.eval["precision"][:, :, k, 0, -1]
        p = p[p > -1]
        per_class.append(float(np.mean(p)) if p.size else float("nan"))
    return ev.stats, per_class, no_times(buf.getvalue())


def mmdetection_style(impl, gt_path, res_path):
    """maxDets [100, 300, 1000], summary text captured for a log, and a
    per-class loop setting catIds=[c] and reading stats."""
    coco_gt = _gt(impl, gt_path)
    with contextlib.redirect_stdout(io.StringIO()):
        coco_dt = coco_gt.loadRes(json.loads(res_path.read_text()))
    ev = impl[1].COCOeval(coco_gt, coco_dt, "bbox")
    cat_ids = coco_gt.getCatIds()
    ev.params.catIds = cat_ids
    ev.params.imgIds = coco_gt.getImgIds()
    ev.params.maxDets = [100, 300, 1000]
    with contextlib.redirect_stdout(io.StringIO()):
        ev.evaluate()
        ev.accumulate()
    log = io.StringIO()
    with contextlib.redirect_stdout(log):
        ev.summarize()
    per_class = []
    for c in cat_ids[:12]:
        ev.params.catIds = [c]
        with contextlib.redirect_stdout(io.StringIO()):
            ev.evaluate()
            ev.accumulate()
            ev.summarize()
        per_class.append(ev.stats.copy())
    return ev.stats, np.array(per_class), log.getvalue()


def ultralytics_style(impl, gt_path, res_path, tmp_path):
    """Predictions written to a file, the faster evaluator class chosen by
    name when the module has it, evaluation limited to some image ids."""
    cls = getattr(impl[1], "COCOeval_faster", None) or impl[1].COCOeval
    pred = tmp_path / "predictions.json"
    pred.write_text(json.dumps(json.loads(res_path.read_text())))
    with contextlib.redirect_stdout(io.StringIO()):
        anno = impl[0](str(gt_path))
        ev = cls(anno, anno.loadRes(str(pred)), "bbox")
        ev.params.imgIds = sorted(anno.getImgIds())[::3]
        ev.evaluate()
        ev.accumulate()
        ev.summarize()
    return ev.stats[:2], ev.eval["recall"]


def torchmetrics_style(impl, gt, res, iou_type, use_cats):
    """Both sides built with COCO() + dataset + createIndex(); predictions
    carry masks but no boxes; useCats off for micro averaging; a per-class
    loop; maxDets [1, 10, 300]."""
    preds = copy.deepcopy(res)
    for i, p in enumerate(preds):
        if iou_type == "segm":
            p.pop("bbox", None)
            p["area"] = float(pycocotools.mask.area(p["segmentation"]))
        else:
            p["area"] = p["bbox"][2] * p["bbox"][3]
        p["id"], p["iscrowd"] = i + 1, 0
    with contextlib.redirect_stdout(io.StringIO()):
        coco_gt = _gt(impl, gt)
        coco_dt = impl[0]()
        coco_dt.dataset = {
            "images": copy.deepcopy(gt["images"]),
            "annotations": preds,
            "categories": copy.deepcopy(gt["categories"]),
        }
        coco_dt.createIndex()
        ev = impl[1].COCOeval(coco_gt, coco_dt, iouType=iou_type)
        ev.params.maxDets = [1, 10, 300]
        ev.params.useCats = use_cats
        ev.evaluate()
        ev.accumulate()
        ev.summarize()
        stats = ev.stats.copy()
        per_class = []
        ev.params.useCats = 1
        for c in sorted(coco_gt.getCatIds())[:4]:
            ev.params.catIds = [c]
            ev.evaluate()
            ev.accumulate()
            ev.summarize()
            per_class.append(ev.stats.copy())
    return stats, np.array(per_class)


def _same(a, b):
    assert type(a) is type(b)
    if isinstance(a, (tuple, list)):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            _same(x, y)
    elif isinstance(a, np.ndarray):
        np.testing.assert_array_equal(a, b)
    else:
        assert a == b or (np.isnan(a) and np.isnan(b))


@pytest.mark.parametrize(
    "source,iou_type", [("file", "bbox"), ("file", "segm"), (20, "bbox"), (21, "segm"), (22, "keypoints")]
)
def test_torchvision_merge(source, iou_type):
    if source == "file":
        gt = json.loads(GT_FILE.read_text())
        res = json.loads(RESULT_FILES[iou_type].read_text())
    else:
        gt, res = random_case(source, iou_type)
    ours = torchvision_style(OURS, gt, res, iou_type)
    _same(ours, torchvision_style(REF, gt, res, iou_type))
    # Merged per-batch records give the numbers of one whole evaluation.
    whole, _ = quiet(lambda: _whole(gt, res, iou_type))
    np.testing.assert_array_equal(ours[0], whole)


@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_record_arrays_are_independent(iou_type):
    # The records of one evaluate() keep their arrays in one shared buffer:
    # writing into some records' arrays leaves the others as the reference's.
    gt, res = random_case(26, iou_type)

    def records(impl):
        g = _gt(impl, gt)
        E = impl[1].COCOeval(g, impl[0].loadRes(g, copy.deepcopy(res)), iou_type)
        quiet(E.evaluate)
        return E.evalImgs

    ours, ref = records(OURS), records(REF)
    arrays = ("dtMatches", "gtMatches", "gtIgnore", "dtIgnore")
    present = [n for n, r in enumerate(ref) if r is not None]
    assert len(present) > 10 and [r is None for r in ours] == [r is None for r in ref]
    for n in present[::2]:
        for key in arrays:
            ours[n][key][...] = 7
    for n in present[::2]:
        assert all(np.all(ours[n][key] == ref[n][key].dtype.type(7)) for key in arrays)
    # The records of one image and category (one per area range) list the
    # same detections: each record's lists are still its own.
    for n in present[::2]:
        for key in ("dtIds", "dtScores", "gtIds"):
            ours[n][key].append(-1)
    # The records' dicts are copies of one template: a key added to or removed
    # from some records leaves the others with the reference's keys, in order.
    for n in present[::2]:
        ours[n]["extra"] = 1
        del ours[n]["maxDet"]
    for n in present[1::2]:
        assert list(ours[n]) == list(ref[n]) and type(ours[n]) is dict
    for n in present[1::2]:
        for key in arrays:
            assert ours[n][key].dtype == ref[n][key].dtype and ours[n][key].shape == ref[n][key].shape
            np.testing.assert_array_equal(ours[n][key], ref[n][key])
        for key in ("dtIds", "dtScores", "gtIds"):
            assert ours[n][key] == ref[n][key]


def test_accumulate_again_after_the_arrays_changed():
    # accumulate() hands its arrays over: changed by the caller, the next
    # accumulate() still gives the reference's.
    gt, res = random_case(27, "bbox")

    def twice(impl):
        g = _gt(impl, gt)
        E = impl[1].COCOeval(g, impl[0].loadRes(g, copy.deepcopy(res)), "bbox")
        quiet(E.evaluate)
        quiet(E.accumulate)
        for key in ("precision", "recall", "scores"):
            E.eval[key][...] = 0.5
        quiet(E.accumulate)
        quiet(E.summarize)
        return E.eval, E.stats

    (ours, ours_stats), (ref, ref_stats) = twice(OURS), twice(REF)
    for key in ("precision", "recall", "scores"):
        np.testing.assert_array_equal(ours[key], ref[key], err_msg=key)
    np.testing.assert_array_equal(ours_stats, ref_stats)


@pytest.mark.parametrize(
    "seed,iou_type,max_dets,use_cats",
    [(30, "bbox", [5, 1, 50], 1), (31, "segm", [1, 10, 100], 0), (32, "keypoints", [20], 1)],
)
def test_handed_back_records_accumulate_natively(monkeypatch, seed, iou_type, max_dets, use_cats):
    # Records a caller assigns back are read by the native accumulator (not
    # the NumPy fallback) and give the reference's arrays.
    from vantorel.compat import _perimage

    results = []
    real = _perimage._native_accumulation
    monkeypatch.setattr(_perimage, "_native_accumulation", lambda *a: results.append(real(*a)) or results[-1])
    gt, res = random_case(seed, iou_type)

    def handed_back(impl):
        g = _gt(impl, gt)
        E = impl[1].COCOeval(g, impl[0].loadRes(g, copy.deepcopy(res)), iou_type)
        E.params.maxDets, E.params.useCats = max_dets, use_cats
        quiet(E.evaluate)
        E.evalImgs = list(E.evalImgs)
        E._paramsEval = copy.deepcopy(E.params)
        quiet(E.accumulate)
        return E.eval

    ours, ref = handed_back(OURS), handed_back(REF)
    assert results and all(r is not None for r in results)
    for key in ("precision", "recall", "scores"):
        np.testing.assert_array_equal(ours[key], ref[key], err_msg=key)


def test_handed_back_records_keep_list_order_whatever_their_memory_order():
    # Records are read in the order they lie in memory; ties between
    # images' detections still fall in the list's order, as the reference's.
    gt, res = random_case(33, "bbox")
    for n, r in enumerate(res):
        r["score"] = [0.25, 0.5, 0.75][n % 3]

    def handed_back(impl):
        g = _gt(impl, gt)
        E = impl[1].COCOeval(g, impl[0].loadRes(g, copy.deepcopy(res)), "bbox")
        quiet(E.evaluate)
        records = list(E.evalImgs)
        # Copies made last to first, so later records tend to lie lower in
        # memory; one record object also stands at a second position.
        copies = [None if r is None else copy.deepcopy(r) for r in reversed(records)][::-1]
        present = [n for n, r in enumerate(copies) if r is not None]
        copies[present[-1]] = copies[present[0]]
        E.evalImgs = copies
        E._paramsEval = copy.deepcopy(E.params)
        quiet(E.accumulate)
        return E.eval

    ours, ref = handed_back(OURS), handed_back(REF)
    for key in ("precision", "recall", "scores"):
        np.testing.assert_array_equal(ours[key], ref[key], err_msg=key)


def _whole(gt, res, iou_type):
    g = _gt(OURS, gt)
    E = compat.COCOeval(g, g.loadRes(copy.deepcopy(res)), iou_type)
    E.evaluate()
    E.accumulate()
    E.summarize()
    return E.stats


@pytest.mark.parametrize(
    "source,iou_type,max_dets,sigmas",
    [
        ("file", "bbox", None, None),
        ("file", "segm", [1, 10, 300], None),
        (23, "segm", None, None),
        (24, "keypoints", None, np.linspace(0.03, 0.09, 17)),
        (25, "keypoints", [5, 20], None),
    ],
)
def test_detectron2(source, iou_type, max_dets, sigmas):
    if source == "file":
        gt, res = str(GT_FILE), json.loads(RESULT_FILES[iou_type].read_text())
    else:
        gt, res = random_case(source, iou_type)
    _same(
        detectron2_style(OURS, gt, res, iou_type, max_dets, sigmas),
        detectron2_style(REF, gt, res, iou_type, max_dets, sigmas),
    )


def test_mmdetection():
    _same(mmdetection_style(OURS, GT_FILE, RESULT_FILES["bbox"]), mmdetection_style(REF, GT_FILE, RESULT_FILES["bbox"]))


def test_ultralytics(tmp_path):
    ours = ultralytics_style(OURS, GT_FILE, RESULT_FILES["bbox"], tmp_path)
    assert compat.cocoeval.COCOeval_faster is compat.COCOeval
    _same(ours, ultralytics_style(REF, GT_FILE, RESULT_FILES["bbox"], tmp_path))


@pytest.mark.parametrize("seed,iou_type,use_cats", [(26, "bbox", 1), (27, "bbox", 0), (28, "segm", 0), (29, "segm", 1)])
def test_torchmetrics(seed, iou_type, use_cats):
    gt, res = random_case(seed, iou_type)
    _same(torchmetrics_style(OURS, gt, res, iou_type, use_cats), torchmetrics_style(REF, gt, res, iou_type, use_cats))
