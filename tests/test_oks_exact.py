"""Keypoint similarity against pycocotools where the engine answers 0.0
without computing (pairs so far apart that every term underflows), from
files whose keypoint lists the flat-number walk or the general reader reads."""

import contextlib
import copy
import io
import json

import numpy as np
import pytest

from vantorel import Params, evaluate

pycocotools = pytest.importorskip("pycocotools")
from pycocotools.coco import COCO  # noqa: E402
from pycocotools.cocoeval import COCOeval  # noqa: E402

K = 17


def _person(rng, image, ann_id, size, visible_share):
    x, y = rng.uniform(0, 600, 2)
    w, h = rng.uniform(0.5, size, 2)
    kx, ky = rng.uniform(x, x + w, K), rng.uniform(y, y + h, K)
    v = np.where(rng.random(K) < visible_share, 2, 0)
    keypoints = np.stack([kx, ky, v], 1).ravel().tolist()
    # Areas from none to a crowd's size: exponents from far beyond underflow to near 0.
    area = float(rng.choice([0.0, rng.uniform(0.01, 5.0), w * h, rng.uniform(1e3, 1e5)]))
    return {
        "id": ann_id,
        "image_id": image,
        "category_id": 1,
        "bbox": [x, y, w, h],
        "area": area,
        "iscrowd": 0,
        "num_keypoints": int((v > 0).sum()),
        "keypoints": keypoints,
    }


def _case(seed):
    """Ground truths of every size (some without a visible keypoint) and
    results near them and across the image, some written with exponents."""
    rng = np.random.default_rng(seed)
    images = [{"id": i, "height": 480, "width": 640} for i in range(1, 9)]
    anns, res = [], []
    for image in range(1, 9):
        for _ in range(6):
            anns.append(_person(rng, image, len(anns) + 1, rng.choice([5.0, 60.0, 300.0]), rng.choice([0.0, 0.7])))
        for _ in range(25):
            near = anns[int(rng.integers(len(anns) - 6, len(anns)))]
            kp = np.array(near["keypoints"]).reshape(K, 3)
            jitter = rng.choice([0.5, 20.0, 400.0])
            kp[:, :2] += rng.normal(0, jitter, (K, 2))
            kp[:, 2] = 1.0
            res.append(
                {"image_id": image, "category_id": 1, "score": float(rng.random()), "keypoints": kp.ravel().tolist()}
            )
    gt = {"images": images, "annotations": anns, "categories": [{"id": 1, "name": "person"}]}
    return gt, res


# Thresholds down to the smallest double: a pair matches at the first ones
# whenever its similarity is above 0.0 at all, so a similarity answered 0.0
# that the reference computes as a tiny positive number changes the matches.
THRESHOLDS = np.array([5e-324, 1e-300, 1e-30, 0.5])


def _reference(gt, res):
    with contextlib.redirect_stdout(io.StringIO()):
        coco = COCO()
        coco.dataset = copy.deepcopy(gt)
        coco.createIndex()
        E = COCOeval(coco, coco.loadRes(copy.deepcopy(res)), "keypoints")
        E.params.iouThrs = THRESHOLDS
        E.evaluate()
        E.accumulate()
    return E


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_keypoint_matches_at_tiny_thresholds_are_the_references(seed, tmp_path):
    gt, res = _case(seed)
    E = _reference(gt, res)
    (tmp_path / "gt.json").write_text(json.dumps(gt))
    # Another separator and exponents, as some writers put them: the general
    # reader takes those lists, the flat-number walk the others.
    text = json.dumps(res, separators=(",", ":")) if seed == 2 else json.dumps(res)
    (tmp_path / "res.json").write_text(text.replace("1.0]", "1e0]", 7))
    p = Params.for_type("keypoints")
    p.iou_thrs = THRESHOLDS
    r = evaluate(tmp_path / "gt.json", tmp_path / "res.json", params=p)
    for key in ("precision", "recall", "scores"):
        np.testing.assert_array_equal(getattr(r, key), E.eval[key], err_msg=key)
    # Pairs far apart, near and between are all there.
    oks = np.concatenate([np.ravel(v) for v in E.ious.values() if len(v)])
    assert (oks == 0).sum() > 50 and ((oks > 0) & (oks < 1e-30)).any() and (oks > 0.5).any()


def test_unconfident_detections_left_out_before_the_first_twenty_are_taken(tmp_path):
    """CrowdPose leaves out detections without a keypoint of positive
    confidence; the ones behind them move up into the first 20 of their image,
    so their keypoints must have been read from the file as well."""
    rng = np.random.default_rng(5)
    anns, res = [], []
    for image in (1, 2):
        for _ in range(3):
            x, y = rng.uniform(50, 400, 2)
            kp = np.stack([x + rng.uniform(0, 80, 14), y + rng.uniform(0, 120, 14), np.full(14, 2.0)], 1)
            anns.append(
                {"id": len(anns) + 1, "image_id": image, "category_id": 1, "bbox": [x, y, 80, 120], "area": 9600.0}
                | {"iscrowd": 0, "num_keypoints": 14, "keypoints": kp.ravel().tolist()}
            )
            unconfident = np.stack([kp[:, 0], kp[:, 1], np.zeros(14)], 1).ravel().tolist()
            res += [{"image_id": image, "category_id": 1, "score": 0.9, "keypoints": unconfident}] * 19
            confident = np.stack([kp[:, 0], kp[:, 1], np.ones(14)], 1).ravel().tolist()
            res.append({"image_id": image, "category_id": 1, "score": 0.5, "keypoints": confident})
    images = [{"id": i, "height": 600, "width": 600, "crowdIndex": 0.1} for i in (1, 2)]
    gt = {"images": images, "annotations": anns, "categories": [{"id": 1, "name": "person"}]}
    (tmp_path / "gt.json").write_text(json.dumps(gt))
    (tmp_path / "res.json").write_text(json.dumps(res))
    p = Params.for_type("keypoints_crowd")
    p.kpt_sigmas = np.full(14, 0.079)
    from_files = evaluate(tmp_path / "gt.json", tmp_path / "res.json", params=p)
    np.testing.assert_array_equal(from_files.precision, evaluate(gt, res, params=p).precision)
    assert from_files.stats[0] == 1.0
