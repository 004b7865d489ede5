"""The drop-in COCOeval against pycocotools on the inputs real clients send:
a ground truth numbered from 0, whole-float image ids, results with missing
or None fields, and thresholds changed between evaluate() and accumulate()."""

import contextlib
import copy
import io
import json
import warnings

import numpy as np
import pycocotools.coco
import pycocotools.cocoeval
import pytest

import vantorel
from vantorel.compat import coco as ours_coco
from vantorel.compat import cocoeval as ours_eval

OURS = (ours_coco.COCO, ours_eval.COCOeval)
REF = (pycocotools.coco.COCO, pycocotools.cocoeval.COCOeval)


def dataset(first_id):
    rng = np.random.default_rng(first_id + 4)
    anns, dets = [], []
    for i in range(30):
        box = [float(v) for v in rng.integers(0, 60, 2)] + [float(v) for v in rng.integers(5, 40, 2)]
        img, cat = 1 + i % 5, 1 + i % 2
        anns.append({"id": first_id + i, "image_id": img, "category_id": cat, "bbox": box,
                     "area": box[2] * box[3], "iscrowd": 0})  # fmt: skip
        jitter = rng.normal(0, 2, 4)
        dets.append({"image_id": img, "category_id": cat, "bbox": [b + j for b, j in zip(box, jitter)],
                     "score": float(rng.random())})  # fmt: skip
    gt = {"images": [{"id": i, "width": 100, "height": 100} for i in range(1, 6)],
          "categories": [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}], "annotations": anns}  # fmt: skip
    return gt, dets


def run(impl, gt, dets, between=None):
    with contextlib.redirect_stdout(io.StringIO()):
        g = impl[0]()
        g.dataset = copy.deepcopy(gt)
        g.createIndex()
        E = impl[1](g, g.loadRes(copy.deepcopy(dets)), "bbox")
        E.evaluate()
        if between:
            between(E.params)
        E.accumulate()
        E.summarize()
    return E.stats


def test_ground_truth_id_zero_as_reference_with_a_warning(monkeypatch):
    # The warning comes once per process: an earlier test may have used it up.
    monkeypatch.setattr(ours_eval, "_warned_id_zero", False)
    gt, dets = dataset(0)
    with pytest.warns(UserWarning, match="id 0"):
        ours = run(OURS, gt, dets)
    np.testing.assert_array_equal(ours, run(REF, gt, dets))
    # vantorel.evaluate counts the match the reference cannot make.
    shifted_gt = copy.deepcopy(gt)
    for a in shifted_gt["annotations"]:
        a["id"] += 1
    counted = vantorel.evaluate(gt, dets, iou_type="bbox").stats
    np.testing.assert_array_equal(counted, run(REF, shifted_gt, dets))


@pytest.mark.parametrize("zero", ["annotation", "image"])
def test_ground_truth_file_with_id_zero(tmp_path, zero):
    """Read from a file (held compactly until someone reads the dicts): an
    annotation id 0 is found and evaluated as the reference does; an image
    id 0 is not an annotation's and warns nothing."""
    gt, dets = dataset(0 if zero == "annotation" else 1)
    if zero == "image":
        for a in gt["annotations"] + dets:
            a["image_id"] -= 1
        for img in gt["images"]:
            img["id"] -= 1
    path = tmp_path / "gt.json"
    path.write_text(json.dumps(gt))
    with warnings.catch_warnings(record=True) as caught, contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("always")
        g = ours_coco.COCO(str(path))
        E = ours_eval.COCOeval(g, g.loadRes(copy.deepcopy(dets)), "bbox")
        E.evaluate()
        E.accumulate()
        E.summarize()
    if zero == "image":
        assert not [w for w in caught if "id 0" in str(w.message)]
    np.testing.assert_array_equal(E.stats, run(REF, gt, dets))


def test_whole_float_image_ids_as_reference():
    gt, dets = dataset(1)
    floats = [dict(d, image_id=float(d["image_id"])) for d in dets]
    np.testing.assert_array_equal(run(OURS, gt, floats), run(REF, gt, dets))


@pytest.mark.parametrize("field", ["score", "category_id", "bbox"])
@pytest.mark.parametrize("value", ["missing", None])
def test_results_without_a_field_refused(field, value):
    gt, dets = dataset(1)
    bad = dets[7]
    if value == "missing":
        del bad[field]
    else:
        bad[field] = value
    want = KeyError if value == "missing" else TypeError
    with pytest.raises(want):
        run(OURS, gt, dets)
    if not (field == "category_id" and value is None):  # the reference evaluates that one, off every category
        with pytest.raises(want):
            run(REF, gt, dets)


@pytest.mark.parametrize("thresholds", [[0.5, 0.75], np.linspace(0.55, 1.0, 10)])
def test_iou_thresholds_changed_before_accumulate_refused(thresholds):
    gt, dets = dataset(1)

    def change(p):
        p.iouThrs = np.array(thresholds)

    with pytest.raises(IndexError, match="iouThrs"):
        run(OURS, gt, dets, change)
    # recall thresholds are the accumulation's own: changing them is fine, as there
    with warnings.catch_warnings():
        warnings.simplefilter("error")

        def fewer(p):
            p.recThrs = np.linspace(0, 1, 11)

        np.testing.assert_array_equal(run(OURS, gt, dets, fewer), run(REF, gt, dets, fewer))
