"""vantorel.compat.cocoeval against pycocotools: same numbers, records and text."""

import copy
import json

import numpy as np
import pytest

from compat_oracle import (
    GT_FILE,
    OURS,
    REF,
    RESULT_FILES,
    assert_same_arrays,
    assert_same_eval_imgs,
    assert_same_value,
    quiet,
    random_case,
    run,
)
from vantorel.compat.cocoeval import COCOeval, Params


def _set(**fields):
    def configure(E):
        for k, v in fields.items():
            setattr(E.params, k, v)

    return configure


CASES = [
    ("file", "bbox", None),
    ("file", "segm", None),
    ("file", "bbox", _set(maxDets=[100, 300, 1000])),
    ("file", "segm", _set(maxDets=[1, 10, 300])),
    ("file", "bbox", _set(useCats=0)),
    ("file", "bbox", _set(catIds=[3, 1, 1], imgIds=[74, 42, 42, 73])),
    ("file", "bbox", _set(iouThrs=np.array([0.3, 0.5, 1.0]), recThrs=np.linspace(0, 1, 11))),
    ("file", "bbox", _set(areaRng=[[0, 1e10], [0, 500.0], [500.0, 1e10]], areaRngLbl=["all", "small", "large"])),
    (3, "bbox", None),
    (4, "bbox", _set(useCats=0, maxDets=[2, 5, 7])),
    (5, "segm", None),
    (6, "keypoints", None),
    (7, "keypoints", _set(kpt_oks_sigmas=np.linspace(0.02, 0.1, 17))),
]


def _inputs(source, iou_type):
    if source == "file":
        return GT_FILE, RESULT_FILES[iou_type]
    return random_case(source, iou_type)


@pytest.mark.parametrize("source,iou_type,configure", CASES)
def test_evaluation_matches_reference(source, iou_type, configure):
    gt, res = _inputs(source, iou_type)
    ours, ours_text = run(OURS, gt, res, iou_type, configure)
    ref, ref_text = run(REF, gt, res, iou_type, configure)
    assert ours_text == ref_text
    assert type(ours.stats) is type(ref.stats) and ours.stats.shape == ref.stats.shape
    np.testing.assert_array_equal(ours.stats, ref.stats)
    assert_same_arrays(ours.eval, ref.eval)
    assert ours.eval["params"] is ours.params and ours.eval["date"][:4] == ref.eval["date"][:4]
    for name in ("imgIds", "catIds", "maxDets"):
        if name == "catIds" and not ref.params.useCats:
            continue  # the reference sets catIds to [-1] in accumulate(); see test_use_cats_keeps_cat_ids
        assert_same_value(getattr(ours.params, name), getattr(ref.params, name), name)
    assert_same_eval_imgs(ours.evalImgs, ref.evalImgs)
    assert list(ours.ious) == list(ref.ious)
    for key, value in ref.ious.items():
        assert_same_value(ours.ious[key], value, f"ious{key}")


def test_params_defaults_match_reference():
    import pycocotools.cocoeval as ref

    for iou_type in ("bbox", "segm", "keypoints"):
        ours, theirs = vars(Params(iou_type)), vars(ref.Params(iou_type))
        assert list(ours) == list(theirs)
        for k in theirs:
            assert_same_value(ours[k], theirs[k], k)


def test_first_line_asks_for_100_detections():
    """mmdetection and torchmetrics read stats[0] with custom maxDets; it is the
    reference's 'maxDets=100' line, -1 when 100 is not evaluated."""
    E, text = run(OURS, GT_FILE, RESULT_FILES["bbox"], "bbox", _set(maxDets=[1, 10, 300]))
    assert E.stats[0] == -1 and "maxDets=100 ] = -1.000" in text.splitlines()[-12]


def test_fewer_than_three_max_dets():
    """The reference fails with IndexError on its second line; here the last
    maxDets stands in for the missing ones."""
    E, text = run(OURS, GT_FILE, RESULT_FILES["bbox"], "bbox", _set(maxDets=[100]))
    with pytest.raises(IndexError):
        run(REF, GT_FILE, RESULT_FILES["bbox"], "bbox", _set(maxDets=[100]))
    full, full_text = run(REF, GT_FILE, RESULT_FILES["bbox"], "bbox")
    # maxDets=100 lines of the default run are the lines asked for here.
    keep = [i for i, line in enumerate(full_text.splitlines()[-12:]) if "maxDets=100" in line]
    assert [text.splitlines()[-12:][i] for i in keep] == [full_text.splitlines()[-12:][i] for i in keep]
    assert all("maxDets=100" in line for line in text.splitlines()[-12:])
    np.testing.assert_array_equal(E.stats[keep], full.stats[keep])


def test_use_cats_keeps_cat_ids():
    """The reference's accumulate() sets params.catIds to [-1] with useCats=0,
    so evaluating again finds nothing; here the ids stay and a second round
    gives the same numbers."""
    E, _ = run(OURS, GT_FILE, RESULT_FILES["bbox"], "bbox", _set(useCats=0))
    first = E.stats.copy()
    quiet(lambda: (E.evaluate(), E.accumulate(), E.summarize()))
    np.testing.assert_array_equal(E.stats, first)
    ref, _ = run(REF, GT_FILE, RESULT_FILES["bbox"], "bbox", _set(useCats=0))
    assert ref.params.catIds == [-1]


class _PythonSteps(COCOeval):
    """Overrides evaluateImg, so evaluate() goes through the per-image methods."""

    def evaluateImg(self, imgId, catId, aRng, maxDet):
        return super().evaluateImg(imgId, catId, aRng, maxDet)


@pytest.mark.parametrize("source,iou_type", [("file", "bbox"), ("file", "segm"), (8, "keypoints"), (9, "bbox")])
def test_overridden_steps_give_reference_records(source, iou_type):
    gt, res = _inputs(source, iou_type)
    ours, ours_text = run((OURS[0], _PythonSteps), gt, res, iou_type)
    ref, ref_text = run(REF, gt, res, iou_type)
    assert ours_text == ref_text
    assert_same_arrays(ours.eval, ref.eval)
    assert_same_eval_imgs(ours.evalImgs, ref.evalImgs)


def test_per_image_methods_callable_after_native_evaluate():
    ours, _ = run(OURS, GT_FILE, RESULT_FILES["segm"], "segm")
    ref, _ = run(REF, GT_FILE, RESULT_FILES["segm"], "segm")
    img, cat = ref.params.imgIds[2], 1
    assert_same_value(ours.computeIoU(img, cat), ref.computeIoU(img, cat), "computeIoU")
    a_rng = ref.params.areaRng[1]
    assert_same_value(ours.evaluateImg(img, cat, a_rng, 100), ref.evaluateImg(img, cat, a_rng, 100), "evaluateImg")
    assert len(ours._gts) == len(ref._gts)


def test_accumulate_of_changed_params_uses_records():
    """accumulate(p) with fewer categories than evaluated: the records path."""
    ours, _ = run(OURS, GT_FILE, RESULT_FILES["bbox"], "bbox")
    ref, _ = run(REF, GT_FILE, RESULT_FILES["bbox"], "bbox")
    for E in (ours, ref):
        p = copy.deepcopy(E.params)
        p.catIds = p.catIds[5:20]
        p.maxDets = [10, 100]
        quiet(E.accumulate, p)
    assert_same_arrays(ours.eval, ref.eval)


@pytest.mark.parametrize(
    "convert",
    [
        lambda k, v: v,  # as evaluate() made them
        lambda k, v: v.astype(">f8" if v.dtype.kind == "f" else ">i8") if k in ("dtIgnore", "gtIgnore") else v,
        lambda k, v: np.asfortranarray(v).astype(np.float32) if k == "dtMatches" else v,
        lambda k, v: v.astype(np.int64) if k in ("dtMatches", "gtIgnore") else v,
    ],
    ids=["native", "byte-swapped", "float32", "int64"],
)
def test_handed_back_records_of_any_numeric_layout(convert):
    """Records a caller hands back (torchvision's merge), their arrays as
    evaluate() made them or converted, accumulate as the reference's do."""
    out = []
    for impl in (OURS, REF):
        E, _ = run(impl, GT_FILE, RESULT_FILES["bbox"], "bbox")
        E.evalImgs = [
            e and {k: convert(k, v) if isinstance(v, np.ndarray) else v for k, v in e.items()} for e in E.evalImgs
        ]
        quiet(E.accumulate)
        out.append(E.eval)
    assert_same_arrays(*out)


def test_records_unwatched_by_the_collector_until_given_a_container():
    """The records hold numbers only, so the cyclic collector does not walk
    them; a container the caller adds makes the dict watched again."""
    import gc

    E, _ = run(OURS, GT_FILE, RESULT_FILES["bbox"], "bbox")
    record = next(e for e in E.evalImgs if e)
    assert not gc.is_tracked(record) and not gc.is_tracked(record["dtIds"])
    record["extra"] = [record]
    assert gc.is_tracked(record)


def test_duplicate_annotation_ids_count_each_annotation():
    """The reference looks ground truths up by id: of two with one id it
    evaluates the later twice. Here each counts as itself, as
    vantorel.evaluate counts it."""
    import vantorel

    gt, res = random_case(10, "bbox")
    anns = gt["annotations"]
    anns[1]["id"] = anns[0]["id"]
    ours, _ = run(OURS, gt, res, "bbox")
    np.testing.assert_array_equal(ours.stats, vantorel.evaluate(gt, res, "bbox").stats)
    ref, _ = run(REF, gt, res, "bbox")
    assert not np.array_equal(ours.eval["precision"], ref.eval["precision"])


def test_errors_before_running():
    E = COCOeval(iouType="bbox")
    with pytest.raises(Exception, match="Please run accumulate"):
        E.summarize()
    with pytest.raises(RuntimeError, match="Please run evaluate"):
        quiet(E.accumulate)
    with pytest.raises(Exception, match="iouType not supported"):
        COCOeval(iouType="polygon")


def test_stats_as_dict_matches_faster_coco_eval():
    from faster_coco_eval import COCO, COCOeval_faster

    ours, _ = run(OURS, GT_FILE, RESULT_FILES["bbox"], "bbox")

    def theirs():
        g = COCO(str(GT_FILE))
        E = COCOeval_faster(g, g.loadRes(str(RESULT_FILES["bbox"])), "bbox")
        E.evaluate()
        E.accumulate()
        E.summarize()
        return E.stats_as_dict

    expected, _ = quiet(theirs)
    got = ours.stats_as_dict
    assert list(got) == list(expected)
    np.testing.assert_allclose(list(got.values()), list(expected.values()), rtol=0, atol=1e-12)


def test_ground_truth_with_id_zero_as_reference():
    """The reference marks 'no match' with id 0, so a detection that takes a
    ground truth of id 0 counts as a false positive there; the drop-in gives
    its numbers (with a warning), vantorel.evaluate counts the match."""
    import vantorel

    gt, res = random_case(14, "bbox")
    gt["annotations"][0]["id"] = 0
    ours, _ = run(OURS, gt, res, "bbox")
    ref, _ = run(REF, gt, res, "bbox")
    np.testing.assert_array_equal(ours.eval["precision"], ref.eval["precision"])
    assert not np.array_equal(ours.stats, vantorel.evaluate(gt, res, "bbox").stats)


def _adversarial_case():
    # Checkerboard masks of over a million runs, whose compressed counts the
    # evaluator keeps until their image is compared, beside ordinary ones.
    import pycocotools.mask as ref_mask

    h, w = 1600, 1400
    yy, xx = np.indices((h, w))
    checker = ((yy + xx) % 2).astype(np.uint8)
    shapes = {
        1: [(checker, 0), (checker * (xx < 900), 1), ((yy < 40) & (xx < 60), 0)],
        2: [(checker * (yy >= 300), 0), ((xx > 500).astype(np.uint8), 0)],
    }
    dets = {
        1: [checker * (yy >= 300), (xx > 500).astype(np.uint8), checker * (xx < 3), ((yy < 50) & (xx < 60))],
        2: [checker, checker * (xx < 900)],
    }

    def rle(m):
        r = ref_mask.encode(np.asfortranarray(m.astype(np.uint8)))
        return r, {"size": list(r["size"]), "counts": r["counts"].decode()}

    anns, res = [], []
    for image, masks in shapes.items():
        for m, crowd in masks:
            r, seg = rle(m)
            anns.append(
                {
                    "id": len(anns) + 1,
                    "image_id": image,
                    "category_id": 1,
                    "iscrowd": crowd,
                    "area": float(ref_mask.area(r)),
                    "bbox": ref_mask.toBbox(r).tolist(),
                    "segmentation": seg,
                }
            )
    for image, masks in dets.items():
        for k, m in enumerate(masks):
            res.append({"image_id": image, "category_id": 1, "score": 0.9 - 0.1 * k, "segmentation": rle(m)[1]})
    assert max(len(a["segmentation"]["counts"]) for a in anns) > 1 << 21
    gt = {
        "images": [{"id": i, "height": h, "width": w} for i in shapes],
        "categories": [{"id": 1, "name": "a"}],
        "annotations": anns,
    }
    return gt, res


@pytest.mark.parametrize("from_files", [False, True])
def test_masks_of_millions_of_runs_match_reference(from_files, tmp_path):
    gt, res = _adversarial_case()
    if from_files:
        (tmp_path / "gt.json").write_text(json.dumps(gt))
        (tmp_path / "res.json").write_text(json.dumps(res))
        gt, res = tmp_path / "gt.json", tmp_path / "res.json"
    ours, ours_text = run(OURS, gt, res, "segm")
    ref, ref_text = run(REF, gt, res, "segm")
    assert ours_text == ref_text
    np.testing.assert_array_equal(ours.stats, ref.stats)
    assert_same_eval_imgs(ours.evalImgs, ref.evalImgs)
    for key, value in ref.ious.items():
        assert_same_value(ours.ious[key], value, f"ious{key}")


def _random_runs_case(seed):
    # Seeded random masks of over a million runs (kept compressed and compared
    # by decoding their runs as they are walked), parts of one another so that
    # IoUs spread, beside crowd regions, ordinary masks and empty ones: a huge
    # mask of zero-length foreground runs and an all-background small one.
    import pycocotools.mask as ref_mask

    rng = np.random.default_rng(seed)
    h, w = 1600, 1500
    xx = np.arange(w)[None, :]

    def noise():
        lengths = rng.integers(1, 4, h * w)  # at least h * w pixels
        return (np.repeat(np.arange(len(lengths)) % 2, lengths)[: h * w]).astype(np.uint8).reshape((h, w), order="F")

    def seg(m):
        counts = ref_mask.encode(np.asfortranarray(m.astype(np.uint8)))["counts"].decode()
        return {"size": [h, w], "counts": counts}

    empty_huge = {
        "size": [h, w],
        "counts": ref_mask.encode(np.zeros((h, w, 1), np.uint8, order="F"))[0]["counts"].decode(),
    }
    empty_huge["counts"] += "0" * (1 << 20)  # zero-length runs, no foreground
    base = [noise() for _ in range(3)]
    gts = {1: [(base[0], 0), (base[1], 1), (np.zeros((h, w)), 0)], 2: [(base[2], 0), (None, 0)]}
    dts = {
        1: [base[0] * (xx < 1200), base[1] * (xx < 1000), np.broadcast_to((xx < 300) & (xx > 10), (h, w))],
        2: [base[2] ^ (rng.random((h, w)) < 0.1), None],
    }
    anns, res = [], []
    for image, masks in gts.items():
        for m, crowd in masks:
            s = empty_huge if m is None else seg(m)
            anns.append({"id": len(anns) + 1, "image_id": image, "category_id": 1, "iscrowd": crowd, "segmentation": s})
    for a in anns:
        r = {"size": a["segmentation"]["size"], "counts": a["segmentation"]["counts"].encode()}
        a["area"], a["bbox"] = float(ref_mask.area(r)), ref_mask.toBbox(r).tolist()
    for image, masks in dts.items():
        for m in masks:
            s = empty_huge if m is None else seg(m)
            res.append({"image_id": image, "category_id": 1, "score": float(rng.random()), "segmentation": s})
    assert sum(len(a["segmentation"]["counts"]) > 1 << 20 for a in anns) == 4
    images = [{"id": i, "height": h, "width": w} for i in gts]
    return {"images": images, "categories": [{"id": 1, "name": "a"}], "annotations": anns}, res


@pytest.mark.parametrize("seed,from_files", [(0, False), (1, True)])
def test_masks_of_millions_of_random_runs_match_reference(seed, from_files, tmp_path):
    gt, res = _random_runs_case(seed)
    if from_files:
        (tmp_path / "gt.json").write_text(json.dumps(gt))
        (tmp_path / "res.json").write_text(json.dumps(res))
        gt, res = tmp_path / "gt.json", tmp_path / "res.json"
    ours, ours_text = run(OURS, gt, res, "segm", _set(iouThrs=np.linspace(0.05, 0.95, 19)))
    ref, ref_text = run(REF, gt, res, "segm", _set(iouThrs=np.linspace(0.05, 0.95, 19)))
    assert ours_text == ref_text
    np.testing.assert_array_equal(ours.stats, ref.stats)
    assert_same_eval_imgs(ours.evalImgs, ref.evalImgs)
    for key, value in ref.ious.items():
        assert_same_value(ours.ious[key], value, f"ious{key}")
    assert any(0 < v < 1 for value in ref.ious.values() for v in np.ravel(value))
