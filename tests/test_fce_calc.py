"""COCOeval_faster's extra_calc (mIoU, mAUC_50, eval["matched"], the
annotations' marks), separate_eval and Params' snake_case names, against
faster-coco-eval itself."""

import copy

import numpy as np
import pytest

faster_coco_eval = pytest.importorskip("faster_coco_eval")
from faster_coco_eval.core.cocoeval import Params as OracleParams  # noqa: E402

from compat_oracle import GT_FILE, RESULT_FILES, random_case  # noqa: E402
from vantorel.compat import faster  # noqa: E402

ORACLE = (faster_coco_eval.COCO, faster_coco_eval.COCOeval_faster)
OURS = (faster.COCO, faster.COCOeval_faster)
DT_MARKS, GT_MARKS = ("tp", "fp", "gt_id", "iou"), ("fn", "dt_id", "ignore")

CASES = {
    "data-bbox": lambda: (str(GT_FILE), str(RESULT_FILES["bbox"]), "bbox"),
    "data-segm": lambda: (str(GT_FILE), str(RESULT_FILES["segm"]), "segm"),
    "random-bbox": lambda: (*random_case(41, "bbox"), "bbox"),
    "random-segm": lambda: (*random_case(42, "segm"), "segm"),
    "random-boundary": lambda: (*random_case(43, "segm"), "boundary"),
    "random-keypoints": lambda: (*random_case(44, "keypoints"), "keypoints"),
}
SETTINGS = {
    "default": {},
    "useCats=0": {"useCats": 0},
    "maxDets": {"maxDets": [1, 5, 30]},
    "areaRng": {"areaRng": [[0, 1e10], [0, 40**2], [40**2, 1e10]], "areaRngLbl": ["all", "s", "l"]},
}


def run(impl, gt, res, iou_type, settings=None, **kw):
    g = impl[0](gt if isinstance(gt, str) else copy.deepcopy(gt))
    d = g.loadRes(res if isinstance(res, str) else copy.deepcopy(res))
    E = impl[1](g, d, iou_type, print_function=lambda *_: None, **kw)
    for name, value in (settings or {}).items():
        if iou_type == "keypoints" and name == "maxDets":
            value = value[-1:]
        setattr(E.params, name, value)
    E.run()
    return E


def pairs_of(matched):
    """Each detection's and ground truth's pairs in ``eval["matched"]``."""
    by_dt, by_gt = {}, {}
    for key in matched:
        d, g = key.split("_")
        by_dt.setdefault(int(d), []).append(int(g))
        by_gt.setdefault(int(g), []).append(int(d))
    return by_dt, by_gt


@pytest.mark.parametrize("setting", SETTINGS)
@pytest.mark.parametrize("case", CASES)
def test_extra_calc_as_faster_coco_eval(case, setting):
    gt, res, iou_type = CASES[case]()
    if iou_type == "keypoints" and setting in ("useCats=0", "areaRng"):
        pytest.skip("faster-coco-eval 1.8.0 fails on keypoints with useCats=0; areaRng is the box ranges")
    A = run(OURS, gt, res, iou_type, SETTINGS[setting], extra_calc=True)
    B = run(ORACLE, gt, res, iou_type, SETTINGS[setting], extra_calc=True)
    da, db = A.stats_as_dict, B.stats_as_dict
    assert list(da) == list(db) and list(da)[-2:] == ["mIoU", "mAUC_50"]
    if np.array_equal(A.eval["precision"], B.eval["precision"]):
        assert da["mAUC_50"] == db["mAUC_50"]
    else:  # faster-coco-eval's precision differs in a last bit here and there (see test_compat_faster)
        assert da["mAUC_50"] == pytest.approx(db["mAUC_50"], rel=0, abs=1e-13)
    assert list(A.eval) == list(B.eval) and A.eval["evaluations_size"] == B.eval["evaluations_size"]
    assert A.eval["matched"] == B.eval["matched"]  # the same pairs and IoUs
    # faster-coco-eval adds the IoUs in the order of its C++ hash table, which
    # its results do not show; in another order a sum of n values may differ
    # by up to about n rounding steps (here a few units in the 15th digit).
    n = len(B.eval["matched"])
    assert da["mIoU"] == pytest.approx(db["mIoU"], rel=n * 2**-52, abs=0)
    assert A.matched is True and B.matched is True
    # The marks: a detection or ground truth in one pair is marked with it
    # exactly; one in several (crowd regions, or other matches in other area
    # ranges) takes the last in that same hash order, here one of them.
    by_dt, by_gt = pairs_of(B.eval["matched"])
    for ours, theirs, pairs, marks, other in [
        (A.cocoDt.anns, B.cocoDt.anns, by_dt, DT_MARKS, "gt_id"),
        (A.cocoGt.anns, B.cocoGt.anns, by_gt, GT_MARKS, "dt_id"),
    ]:
        for i, ann in theirs.items():
            got = {m: ours[i].get(m) for m in marks}
            if len(pairs.get(i, [])) > 1:
                assert got[other] in pairs[i]
            else:
                assert got == {m: ann.get(m) for m in marks}, (i, got)


def test_extra_calc_exact_on_bundled_masks():
    """Without several pairs per annotation, every mark and the mean are the reference's."""
    gt, res, iou_type = CASES["data-segm"]()
    A, B = (run(impl, gt, res, iou_type, extra_calc=True) for impl in (OURS, ORACLE))
    assert [{m: a.get(m) for m in DT_MARKS} for a in A.cocoDt.anns.values()] == [
        {m: a.get(m) for m in DT_MARKS} for a in B.cocoDt.anns.values()
    ]
    assert A.compute_mAUC() == B.compute_mAUC()


def chosen_precision(seed):
    """A precision array with cells of no ground truth (-1) and partly -1 curves."""
    rng = np.random.default_rng(seed)
    shape = (int(rng.integers(1, 4)), 11, int(rng.integers(1, 7)), int(rng.integers(1, 5)), int(rng.integers(1, 4)))
    p = np.sort(rng.random(shape), axis=1)[:, ::-1]
    p[:, :, rng.random(shape[2]) < 0.3] = -1
    p[:, int(rng.integers(2, 11)) :, rng.random(shape[2]) < 0.3, 0] = -1
    return p


@pytest.mark.parametrize("seed", range(8))
def test_mauc_formula_on_chosen_precision(seed):
    """compute_mAUC reads only eval["precision"] and params.recThrs: both
    evaluators given the same arrays agree to the last bit."""
    gt, res, iou_type = CASES["random-bbox"]()
    p = chosen_precision(seed)
    rec = np.sort(np.random.default_rng(seed).random(p.shape[1]))
    got = []
    for impl in (OURS, ORACLE):
        E = run(impl, gt, res, iou_type)
        E.params.recThrs = rec
        E.eval["precision"], E.eval["counts"] = p.copy(), list(p.shape)
        got.append(E.compute_mAUC())
    assert got[0] == got[1]


def test_mean_iou_of_given_pairs_and_missing_data():
    matched = {f"{i}_{i}": float(v) for i, v in enumerate(np.random.default_rng(3).random(500))}
    results = []
    for impl in (OURS, ORACLE):
        E = impl[1](print_function=lambda *_: None)
        with pytest.raises(RuntimeError, match="Matching"):
            E.compute_mIoU()
        with pytest.raises(RuntimeError, match="Accumulation"):
            E.compute_mAUC()
        E.eval = {"matched": {}}
        results.append(E.compute_mIoU())
        E.eval = {"matched": matched}
        results.append(E.compute_mIoU())
    assert results[:2] == results[2:] and results[0] == 0.0


def test_marks_follow_the_latest_evaluation():
    """A second extra_calc run at a stricter threshold clears the first run's marks."""
    gt = {
        "images": [{"id": 1, "width": 20, "height": 20}],
        "annotations": [{"id": 1, "image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10], "area": 100, "iscrowd": 0}],
        "categories": [{"id": 1, "name": "a"}],
    }
    res = [{"image_id": 1, "category_id": 1, "bbox": [0, 0, 8, 8], "score": 1.0}]
    seen = []
    for impl in (OURS, ORACLE):
        E = impl[1](impl[0](copy.deepcopy(gt)), impl[0](copy.deepcopy(gt)).loadRes(copy.deepcopy(res)), "bbox")
        E.extra_calc, E.print_function = True, lambda *_: None
        for thr in (0.5, 0.75):
            E.params.iouThrs = np.array([thr])
            E.evaluate()
            E.accumulate()
            seen.append(
                ({m: E.cocoDt.anns[1].get(m) for m in DT_MARKS}, {m: E.cocoGt.anns[1].get(m) for m in GT_MARKS})
            )
    assert seen[:2] == seen[2:] and seen[1][0]["fp"] is True and seen[1][1]["fn"] is True


@pytest.mark.parametrize("separate_eval", [False, True])
def test_separate_eval_leaves_accumulation_to_accumulate(separate_eval):
    gt, res, iou_type = CASES["random-bbox"]()
    evaluated = []
    for impl in (OURS, ORACLE):
        g = impl[0](copy.deepcopy(gt))
        E = impl[1](g, g.loadRes(copy.deepcopy(res)), iou_type, separate_eval=separate_eval)
        E.print_function = lambda *_: None
        E.evaluate()
        evaluated.append((list(E.eval), E.eval.get("precision"), E.eval.get("matched"), E.matched))
    (keys_a, p_a, m_a, marked_a), (keys_b, p_b, m_b, marked_b) = evaluated
    assert keys_a == keys_b and bool(keys_a) is not separate_eval
    assert m_a == m_b and marked_a is marked_b is False
    if not separate_eval:
        np.testing.assert_allclose(p_a, p_b, rtol=0, atol=1e-13)  # as in test_compat_faster


SNAKE = ("iou_type", "iou_thrs", "rec_thrs", "max_dets", "area_rng", "area_rng_lbl", "use_cats", "img_ids",
         "cat_ids", "img_count_lbl", "compute_rle", "compute_boundary", "useSegm")  # fmt: skip


@pytest.mark.parametrize("iou_type", ["bbox", "segm", "boundary", "keypoints"])
def test_params_names_as_faster_coco_eval(iou_type):
    ours, theirs = faster.FasterParams(iou_type), OracleParams(iou_type)
    for p in (ours, theirs):
        p.imgIds, p.catIds, p.maxDets = [3, 1], [7], [4, 9]
    for name in SNAKE:
        assert np.array_equal(getattr(ours, name), getattr(theirs, name)), name
    for p in (ours, theirs):
        with pytest.raises(AttributeError):
            p.iou_type = "bbox"
        p.useSegm = 1
    assert ours.iou_type == theirs.iou_type == "segm" and ours.compute_rle == theirs.compute_rle


def test_evaluator_params_have_the_names():
    gt, res, iou_type = CASES["data-bbox"]()
    E = run(OURS, gt, res, iou_type)
    assert E.params.iou_type == "bbox" and E.params.max_dets == [1, 10, 100] and E.params.useSegm == 0
