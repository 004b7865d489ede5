"""CrowdPose ("keypoints_crowd") and its xtcocotools drop-in against the real
xtcocotools, run as a black box in its own environment."""

import contextlib
import json
import math
import subprocess
import sys

import numpy as np
import pytest

import evalgen
import xtcocotools_oracle as oracle
from vantorel import Params, evaluate

needs_oracle = pytest.mark.skipif(not oracle.available(), reason=oracle.SKIP_REASON)
SIGMAS = np.linspace(0.025, 0.107, evalgen.NUM_KEYPOINTS)


def crowd_case(tmp_path, seed):
    gt = evalgen.with_crowd_index(seed + 5, evalgen.dataset(seed, keypoints=True))
    for n, a in enumerate(gt["annotations"]):  # num_keypoints at odds with the visibility now and then
        if n % 11 == 3:
            a["num_keypoints"] = 0 if a["num_keypoints"] else 4
    res = evalgen.results(seed + 1, gt, keypoints=True)
    for n, d in enumerate(res):  # results without a confident keypoint (left out), or with some
        if n % 7 < 2:
            d["keypoints"][2::3] = [0] * evalgen.NUM_KEYPOINTS if n % 7 == 0 else [0, 0.5] * 8 + [0]
    (tmp_path / "gt.json").write_text(json.dumps(gt))
    (tmp_path / "res.json").write_text(json.dumps(res))
    return tmp_path / "gt.json", tmp_path / "res.json"


def assert_same(ours, ref):
    np.testing.assert_array_equal(ours.precision, ref["precision"])
    np.testing.assert_array_equal(ours.recall, ref["recall"])
    np.testing.assert_array_equal(ours.stats[:6], ref["stats"][:6])


def split_ids(gt):
    """Image ids per crowd type, as xtcocotools splits them (boundaries found by test_split_boundaries)."""
    images = gt["images"] if isinstance(gt, dict) else json.loads(gt.read_text())["images"]
    tests = (lambda c: c < 0.2, lambda c: 0.2 <= c < 0.8, lambda c: c >= 0.8)
    return [[img["id"] for img in images if t(img["crowdIndex"])] for t in tests]


@needs_oracle
@pytest.mark.parametrize("use_area", [True, False])
@pytest.mark.parametrize("custom_sigmas", [False, True])
def test_crowdpose_equals_xtcocotools(tmp_path, use_area, custom_sigmas):
    gt, res = crowd_case(tmp_path, 3)
    p = Params.for_type("keypoints_crowd")
    p.use_area = use_area
    sigmas = SIGMAS if custom_sigmas else None
    if custom_sigmas:
        p.kpt_sigmas = SIGMAS
    ref = oracle.run(tmp_path, gt, res, "keypoints_crowd", sigmas, use_area)
    ours = evaluate(gt, res, params=p)
    assert_same(ours, ref)
    # The same from loaded dicts (the engine's list conversion rather than the file columns).
    assert_same(evaluate(json.loads(gt.read_text()), json.loads(res.read_text()), params=p), ref)
    assert_split(tmp_path, ours, gt, res, sigmas, use_area)


def assert_split(tmp_path, ours, gt, res, sigmas=None, use_area=True):
    # Each type's AP is the AP of its images alone. xtcocotools rounds it to
    # 4 places and averages -1 (no ground truth) cells in, giving negative
    # AP with several categories; ours averages the cells with a value, as
    # every other AP line does.
    for k, ids in enumerate(split_ids(gt)):
        alone = oracle.run(tmp_path, gt, res, "keypoints_crowd", sigmas, use_area, img_ids=ids)
        assert ours.stats[6 + k] == alone["stats"][0]


@needs_oracle
def test_split_boundaries(tmp_path):
    # One image per type with a perfect detection, plus a probe image (one
    # person left undetected) whose crowd index decides which type loses AP.
    kp = [v for k in range(evalgen.NUM_KEYPOINTS) for v in (100 + 3 * k, 100 + 5 * k, 2)]
    probes = [0.0, 0.1999999, math.nextafter(0.2, 0), 0.2, 0.5, math.nextafter(0.8, 0), 0.8, 1.0, 3.0, -0.5]
    images = [{"id": i, "width": 640, "height": 480, "crowdIndex": c} for i, c in enumerate([0.0, 0.5, 0.9, 0.0])]
    anns = [
        {
            "id": i + 1,
            "image_id": i,
            "category_id": 1,
            "bbox": [100, 100, 60, 90],
            "area": 5400,
            "iscrowd": 0,
            "keypoints": kp,
            "num_keypoints": evalgen.NUM_KEYPOINTS,
        }
        for i in range(4)
    ]
    res = [{"image_id": i, "category_id": 1, "keypoints": kp, "score": 0.9} for i in range(3)]
    for probe in probes:
        images[3]["crowdIndex"] = probe
        gt = {"images": images, "annotations": anns, "categories": [{"id": 1, "name": "person"}]}
        ref = oracle.run(tmp_path, gt, res, "keypoints_crowd")
        ours = evaluate(gt, res, "keypoints_crowd")
        assert [round(v, 4) for v in ours.stats[6:]] == list(ref["stats"][6:]), probe
        assert sorted(ours.stats[6:])[0] < 1.0


@needs_oracle
def test_summary_text_and_names(tmp_path):
    gt, res = crowd_case(tmp_path, 7)
    ours = evaluate(gt, res, "keypoints_crowd")
    ref_lines = [line for line in oracle.run(tmp_path, gt, res, "keypoints_crowd")["text"].splitlines() if "@[" in line]
    # The same labels; the reference pads the first six values with a second space.
    assert [line.split(" = ")[0] for line in ours.summary_lines()] == [line.split(" = ")[0] for line in ref_lines]
    assert list(ours.stats_as_dict()) == ["AP", "AP50", "AP75", "AR", "AR50", "AR75", "APeasy", "APmedium", "APhard"]
    assert [row[0] for row in ours.per_category().rows] == ours.params.cat_ids


@needs_oracle
def test_split_keeps_to_the_evaluated_images(tmp_path):
    # Deliberate difference: xtcocotools splits every image of the file
    # whatever params.imgIds says; ours splits the evaluated images, as the
    # oracle does on a file holding only those.
    gt, res = crowd_case(tmp_path, 5)
    data = json.loads(gt.read_text())
    keep = sorted(img["id"] for img in data["images"][::2])
    p = Params.for_type("keypoints_crowd")
    p.img_ids = keep
    ours = evaluate(gt, res, params=p)
    data["images"] = [img for img in data["images"] if img["id"] in keep]
    data["annotations"] = [a for a in data["annotations"] if a["image_id"] in keep]
    results = [d for d in json.loads(res.read_text()) if d["image_id"] in keep]
    assert_same(ours, oracle.run(tmp_path, data, results, "keypoints_crowd"))
    assert_split(tmp_path, ours, data, results)


@pytest.mark.parametrize("value", [None, "0.3", float("nan"), True])
def test_crowd_index_required(tmp_path, value):
    gt, res = crowd_case(tmp_path, 2)
    data = json.loads(gt.read_text())
    if value is None:
        del data["images"][3]["crowdIndex"]
    else:
        data["images"][3]["crowdIndex"] = value
    with pytest.raises(ValueError, match=f"image {data['images'][3]['id']!r}: 'crowdIndex'"):
        evaluate(data, res, "keypoints_crowd")


def test_command_line_and_streaming(tmp_path):
    gt, res = crowd_case(tmp_path, 4)
    out = subprocess.run(
        [sys.executable, "-m", "vantorel", str(gt), str(res), "--iou-type", "keypoints_crowd"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert "type=  hard" in out and out.count("@[") == 9
    from vantorel import StreamingEvaluator

    with pytest.raises(ValueError, match="keypoints_crowd"):
        StreamingEvaluator(gt, "keypoints_crowd")


def run_dropin(gt, res, iou_type, sigmas=None, use_area=True):
    import contextlib
    import io

    from vantorel.compat.xtcocotools.coco import COCO
    from vantorel.compat.xtcocotools.cocoeval import COCOeval

    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        E = COCOeval(COCO(str(gt)), None, iou_type, sigmas, use_area)
        E.cocoDt = E.cocoGt.loadRes(str(res))
        E.evaluate()
        E.accumulate()
        E.summarize()
    return E, buf.getvalue()


@needs_oracle
@pytest.mark.parametrize(
    "iou_type,use_area,custom_sigmas",
    [
        ("keypoints_crowd", True, False),
        ("keypoints_crowd", False, True),
        ("keypoints", False, False),
        ("keypoints", True, True),
    ],
)
def test_xtcocotools_dropin_equals_xtcocotools(tmp_path, iou_type, use_area, custom_sigmas):
    gt, res = crowd_case(tmp_path, 13)
    sigmas = SIGMAS if custom_sigmas else None
    ref = oracle.run(tmp_path, gt, res, iou_type, sigmas, use_area)
    E, text = run_dropin(gt, res, iou_type, sigmas, use_area)
    np.testing.assert_array_equal(E.eval["precision"], ref["precision"])
    np.testing.assert_array_equal(E.eval["recall"], ref["recall"])
    np.testing.assert_array_equal(E.stats, ref["stats"])  # the split's rounding and -1 cells included

    def shown(t):
        return [line for line in t.splitlines() if "@[" in line or "annotation type" in line]

    assert shown(text) == shown(ref["text"])


def test_install_as_xtcocotools():
    import importlib

    from vantorel.compat import install_as_xtcocotools

    install_as_xtcocotools()
    assert importlib.import_module("xtcocotools.cocoeval").COCOeval.__module__ == "vantorel.compat.xtcocotools.cocoeval"
    assert importlib.import_module("xtcocotools.coco").COCO.__module__ == "vantorel.compat.coco"
    assert importlib.import_module("xtcocotools.mask").encode is importlib.import_module("vantorel.compat.mask").encode
    with pytest.raises(Exception, match="iouType not supported"):
        importlib.import_module("xtcocotools.cocoeval").COCOeval(None, None, "keypoints_bogus")


WHOLEBODY = {
    "keypoints_body": 17,
    "keypoints_foot": 6,
    "keypoints_face": 68,
    "keypoints_lefthand": 21,
    "keypoints_righthand": 21,
    "keypoints_wholebody": 133,
}


@needs_oracle
@pytest.mark.parametrize("iou_type", list(WHOLEBODY))
def test_wholebody_dropin_equals_xtcocotools(tmp_path, iou_type):
    gt, res = evalgen.wholebody(21)
    (tmp_path / "wb_gt.json").write_text(json.dumps(gt))
    (tmp_path / "wb_res.json").write_text(json.dumps(res))
    sigmas = np.random.default_rng(1).uniform(0.01, 0.1, WHOLEBODY[iou_type])
    use_area = iou_type != "keypoints_face"  # one part the other way
    ref = oracle.run(tmp_path, tmp_path / "wb_gt.json", tmp_path / "wb_res.json", iou_type, sigmas, use_area)
    with (
        pytest.warns(UserWarning, match="not found, use 'score' instead")
        if iou_type != "keypoints_body"
        else contextlib.nullcontext()
    ):
        E, text = run_dropin(tmp_path / "wb_gt.json", tmp_path / "wb_res.json", iou_type, sigmas, use_area)
    np.testing.assert_array_equal(E.eval["precision"], ref["precision"])
    np.testing.assert_array_equal(E.eval["recall"], ref["recall"])
    np.testing.assert_array_equal(E.stats, ref["stats"])
    assert [line for line in text.splitlines() if "@[" in line] == [
        line for line in ref["text"].splitlines() if "@[" in line
    ]
    assert "foot_kpts" in E.cocoDt.anns[1]  # the caller's sets are left as they were
