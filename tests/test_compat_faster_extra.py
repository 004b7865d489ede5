"""faster_coco_eval.extra (Curves, PreviewResults, ExtraEval) against the
real faster-coco-eval: the marks written into the annotations, the matched
pairs, the curves and the confusion matrix, on the bundled data and on
seeded random data."""

import copy
import logging

import faster_coco_eval
import numpy as np
import pytest
from faster_coco_eval.extra import Curves as RealCurves
from faster_coco_eval.extra import PreviewResults as RealPreview

from compat_oracle import GT_FILE, RESULT_FILES, random_case
from vantorel.compat import faster
from vantorel.compat.faster_coco_eval.extra import Curves, PreviewResults, draw

CASES = {
    "data-bbox": lambda: (str(GT_FILE), str(RESULT_FILES["bbox"]), "bbox"),
    "data-segm": lambda: (str(GT_FILE), str(RESULT_FILES["segm"]), "segm"),
    "random-bbox": lambda: (*random_case(21, "bbox"), "bbox"),
    "random-segm": lambda: (*random_case(22, "segm"), "segm"),
}


def build(cls, coco, gt, res, **kw):
    g = coco(gt if isinstance(gt, str) else copy.deepcopy(gt))
    return cls(g, g.loadRes(res if isinstance(res, str) else copy.deepcopy(res)), **kw)


def no_crowd(gt):
    gt = copy.deepcopy(gt)
    for a in gt["annotations"]:
        a["iscrowd"] = 0
    return gt


MARKS = ("ignore", "dt_id", "fn", "tp", "gt_id", "iou", "fp")


def marks(anns, crowd_matches):
    """The verdicts written into the annotations. For a crowd region matched
    by several detections, which one "dt_id" names is the reference's hash
    order (a deliberate difference), so it is left out."""
    out = {}
    for k, a in anns.items():
        out[k] = {n: a[n] for n in MARKS if n in a and not (n == "dt_id" and k in crowd_matches)}
    return out


def several(dt_anns):
    seen = {}
    for a in dt_anns.values():
        if a.get("tp"):
            seen[a["gt_id"]] = seen.get(a["gt_id"], 0) + 1
    return {g for g, n in seen.items() if n > 1}


@pytest.fixture(autouse=True)
def quiet():
    logging.disable(logging.WARNING)
    yield
    logging.disable(logging.NOTSET)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize(("use_cats", "iou"), [(False, 0.5), (True, 0.5), (False, 0.0), (True, 0.75)])
def test_marks_matches_and_curves_equal_the_reference(case, use_cats, iou):
    gt, res, iou_type = CASES[case]()
    kw = {"iouType": iou_type, "iou_tresh": iou, "useCats": use_cats, "min_score": 0.1}
    real = build(RealCurves, faster_coco_eval.COCO, gt, res, **kw)
    ours = build(Curves, faster.COCO, gt, res, **kw)
    crowd = several(real.cocoDt.anns)
    assert marks(ours.cocoDt.anns, ()) == marks(real.cocoDt.anns, ())
    assert marks(ours.cocoGt.anns, crowd) == marks(real.cocoGt.anns, crowd)
    assert ours.eval["matched"] == real.eval["matched"]
    assert ours.eval["counts"] == real.eval["counts"]
    assert ours.eval["evaluations_size"] == real.eval["evaluations_size"]
    assert ours.fp_image_ann_map == real.fp_image_ann_map
    assert ours.fn_image_ann_map == real.fn_image_ann_map
    mine, theirs = ours.build_curve("category_id"), real.build_curve("category_id")
    assert [c["label"] for c in mine] == [c["label"] for c in theirs]
    for a, b in zip(mine, theirs, strict=True):
        assert a.keys() == b.keys()
        assert a["category_id"] == b["category_id"]
        np.testing.assert_array_equal(a["recall_list"], b["recall_list"])
        np.testing.assert_array_equal(a["scores"], b["scores"])
        # Precision is pycocotools' to the bit; faster-coco-eval's accumulation rounds
        # some values differently in the last place (see compat.faster's notes).
        np.testing.assert_allclose(a["precision_list"], b["precision_list"], rtol=0, atol=1e-15)
        assert (a["auc"], a["name"]) == (b["auc"], b["name"])


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("iou", [0.5, 0.0])
def test_confusion_matrix_equals_the_reference(case, iou):
    gt, res, iou_type = CASES[case]()
    if not isinstance(gt, str):
        # Crowd regions matched by detections of several categories count
        # the one the reference's hash order names: compared without crowds.
        gt = no_crowd(gt)
    kw = {"iouType": iou_type, "iou_tresh": iou, "useCats": False}
    real = build(RealPreview, faster_coco_eval.COCO, gt, res, **kw)
    ours = build(PreviewResults, faster.COCO, gt, res, **kw)
    np.testing.assert_array_equal(ours.compute_confusion_matrix(), real.compute_confusion_matrix())


def test_callers_datasets_are_left_unmarked_and_low_scores_dropped():
    gt, res, _ = CASES["random-bbox"]()
    g = faster.COCO(copy.deepcopy(gt))
    d = g.loadRes(copy.deepcopy(res))
    before = copy.deepcopy(d.anns)
    ours = PreviewResults(g, d, iouType="bbox", iou_tresh=0.5, min_score=0.5)
    assert d.anns == before and all("fn" not in a for a in g.anns.values())
    assert all(a["score"] >= 0.5 for a in ours.cocoDt.anns.values())
    kept = sum(len(v) for v in ours.cocoDt.imgToAnns.values())
    assert kept == len(ours.cocoDt.anns) == sum(a["score"] >= 0.5 for a in before.values())


def test_plots_without_plotly_are_matplotlib_figures(monkeypatch):
    """A deliberate difference: without plotly the figures are matplotlib's."""
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    monkeypatch.setattr(draw, "plotly_available", False)
    monkeypatch.setattr(draw, "go", None)
    gt, res, _ = CASES["data-bbox"]()
    ours = build(PreviewResults, faster.COCO, gt, res, iouType="bbox", iou_tresh=0.5)
    figure = ours.display_matrix(return_fig=True)
    image = ours.display_image(next(iter(ours.cocoGt.imgs)), return_fig=True)
    curve = [{"recall_list": [0, 0.5, 1], "precision_list": [1, -1, 0.5], "scores": [0.9, 0.5, 0.1], "label": "a"}]
    f1 = draw.plot_f1_confidence(curve, return_fig=True)
    assert isinstance(figure, matplotlib.figure.Figure) and isinstance(image, matplotlib.figure.Figure)
    x, y = f1.axes[0].lines[0].get_data()
    np.testing.assert_allclose(x, [0.9, 0.1])  # the -1 precision is left out
    np.testing.assert_allclose(y, [0.0, 2 * 0.5 / 1.5])


def test_calc_auc_equals_the_reference_bit_for_bit():
    rng = np.random.default_rng(5)
    for n in range(300):
        k = int(rng.integers(1, 120))
        recall = np.linspace(0, 1, k) if n % 2 else np.sort(rng.random(k)) * rng.uniform(0.1, 3)
        precision = rng.random(k)
        mine = faster.COCOeval_faster.calc_auc(recall, precision)
        assert mine == faster_coco_eval.COCOeval_faster.calc_auc(recall, precision)


def test_plotly_figures_have_the_references_traces():
    pytest.importorskip("plotly")
    gt, res, _ = CASES["data-bbox"]()
    kw = {"iouType": "bbox", "iou_tresh": 0.5, "useCats": False}
    real = build(RealPreview, faster_coco_eval.COCO, gt, res, **kw)
    ours = build(PreviewResults, faster.COCO, gt, res, **kw)
    keys = ("name", "legendgroup", "text", "x", "y", "fillcolor", "line")
    for image_id in list(real.cocoGt.imgs)[:5]:
        a, b = (p.display_image(image_id, return_fig=True).to_dict() for p in (real, ours))
        assert a["layout"]["title"] == b["layout"]["title"]
        assert [{k: t.get(k) for k in keys} for t in a["data"][1:]] == [
            {k: t.get(k) for k in keys} for t in b["data"][1:]
        ]
    a, b = (p.display_matrix(return_fig=True).to_dict()["data"][0] for p in (real, ours))
    assert (a["x"], a["y"]) == (b["x"], b["y"])


@pytest.mark.parametrize("seed", [31, 32])
def test_keypoint_verdicts_equal_the_reference(seed):
    """Which detections and ground truths are true, false or ignored. (The
    pair a detection names can differ where it matches different ground
    truths at different thresholds: see the module's notes.)"""
    gt, res = random_case(seed, "keypoints")
    kw = {"iouType": "keypoints", "iou_tresh": 0.5}
    real = build(RealPreview, faster_coco_eval.COCO, gt, res, **kw)
    ours = build(PreviewResults, faster.COCO, gt, res, **kw)
    flags = ("tp", "fp", "fn", "ignore")
    for side in ("cocoDt", "cocoGt"):
        a, b = (getattr(p, side).anns for p in (real, ours))
        assert {k: [x.get(f) for f in flags] for k, x in a.items()} == {
            k: [x.get(f) for f in flags] for k, x in b.items()
        }
