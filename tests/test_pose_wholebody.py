"""COCO-WholeBody in vantorel's own API (files, dicts, command line) against
the real xtcocotools, run as a black box in its own environment."""

import json
import subprocess
import sys
import warnings

import numpy as np
import pytest

import evalgen
import xtcocotools_oracle as oracle
from vantorel import Params, evaluate, evaluate_wholebody
from vantorel.analysis import pr_curves
from vantorel.params import WHOLEBODY_PARTS

needs_oracle = pytest.mark.skipif(not oracle.available(), reason=oracle.SKIP_REASON)


def sigmas_for(iou_type, seed=1):
    return np.random.default_rng(seed).uniform(0.01, 0.1, WHOLEBODY_PARTS[iou_type][2])


@pytest.fixture(scope="module")
def wholebody_files(tmp_path_factory):
    root = tmp_path_factory.mktemp("wholebody")
    gt, res = evalgen.wholebody(33, n_images=30, strays=True)
    (root / "gt.json").write_text(json.dumps(gt))
    (root / "res.json").write_text(json.dumps(res))
    return root, gt, res


@needs_oracle
@pytest.mark.parametrize("use_area", [True, False])
@pytest.mark.parametrize("iou_type", list(WHOLEBODY_PARTS))
def test_wholebody_equals_xtcocotools(wholebody_files, tmp_path, iou_type, use_area):
    root, gt, res = wholebody_files
    p = Params.for_type(iou_type)
    p.use_area = use_area
    p.kpt_sigmas = sigmas_for(iou_type)
    ref = oracle.run(tmp_path, root / "gt.json", root / "res.json", iou_type, p.kpt_sigmas, use_area)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        from_files = evaluate(root / "gt.json", root / "res.json", params=p)
        from_dicts = evaluate(gt, res, params=p)
    for ours in (from_files, from_dicts):
        np.testing.assert_array_equal(ours.precision, ref["precision"])
        np.testing.assert_array_equal(ours.recall, ref["recall"])
        np.testing.assert_array_equal(ours.stats, ref["stats"])
    # Some results lack their part score: each route says so once, as xtcocotools does.
    said = [str(w.message) for w in caught if "not found, use 'score' instead" in str(w.message)]
    assert len(said) == (0 if iou_type == "keypoints_body" else 2)
    shown = [line.split(" = ")[0] for line in ref["text"].splitlines() if "@[" in line]
    assert [line.split(" = ")[0] for line in from_files.summary_lines()] == shown


@pytest.mark.parametrize("iou_type", [t for t in WHOLEBODY_PARTS if t != "keypoints_body"])
def test_part_sigmas_required(wholebody_files, iou_type):
    root, _, _ = wholebody_files
    with pytest.raises(ValueError, match=f"{iou_type} needs kpt_sigmas .*\\({WHOLEBODY_PARTS[iou_type][2]}\\); got 0"):
        evaluate(root / "gt.json", root / "res.json", iou_type)
    p = Params.for_type(iou_type)
    p.kpt_sigmas = np.full(17, 0.05)  # COCO's count is no whole-body part's but the body's
    with pytest.raises(ValueError, match="got 17"):
        evaluate(root / "gt.json", root / "res.json", params=p)


def test_parts_read_from_file_records(tmp_path):
    # A null part list counts as absent and a null part score as missing; a
    # file repeating a part member is read as json.load reads it (the last wins).
    gt, res = evalgen.wholebody(8, n_images=6)
    res[0]["foot_kpts"] = None
    res[1]["foot_score"] = None
    (tmp_path / "gt.json").write_text(json.dumps(gt))
    (tmp_path / "res.json").write_text(json.dumps(res))
    p = Params.for_type("keypoints_foot")
    p.kpt_sigmas = sigmas_for("keypoints_foot")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = evaluate(tmp_path / "gt.json", tmp_path / "res.json", params=p)
        np.testing.assert_array_equal(ours.precision, evaluate(gt, res, params=p).precision)
    text = (tmp_path / "res.json").read_text().replace('"foot_kpts":', '"foot_kpts": [], "foot_kpts":', 1)
    (tmp_path / "dup.json").write_text(text)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.testing.assert_array_equal(evaluate(tmp_path / "gt.json", tmp_path / "dup.json", params=p).precision,
                                      ours.precision)  # fmt: skip


def test_command_line_per_category_and_curves(wholebody_files, tmp_path):
    root, gt, res = wholebody_files
    sigmas = sigmas_for("keypoints_lefthand")
    (tmp_path / "sigmas.json").write_text(json.dumps(list(sigmas)))
    argv = [sys.executable, "-m", "vantorel", str(root / "gt.json"), str(root / "res.json")]
    argv += ["--iou-type", "keypoints_lefthand", "--no-use-area", "--per-category"]
    out = subprocess.run([*argv, "--kpt-sigmas", f"@{tmp_path / 'sigmas.json'}"], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    p = Params.for_type("keypoints_lefthand")
    p.kpt_sigmas, p.use_area = sigmas, False
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = evaluate(gt, res, params=p)
        curves = pr_curves(gt, res, params=p)
    shown = [line for line in out.stdout.splitlines() if "@[" in line]
    assert len(shown) == 10 and shown[0].endswith(f"{ours.stats[0]:0.3f}")
    assert [row[0] for row in ours.per_category().rows] == [1]
    np.testing.assert_array_equal(curves["precision"], ours.precision)
    missing = subprocess.run(argv, capture_output=True, text=True)
    assert missing.returncode == 1 and "keypoints_lefthand needs kpt_sigmas" in missing.stderr


def test_evaluate_wholebody_is_each_type(wholebody_files):
    root, gt, res = wholebody_files
    sigmas = np.random.default_rng(5).uniform(0.01, 0.1, 133)
    offsets = {"keypoints_foot": 17, "keypoints_face": 23, "keypoints_lefthand": 91, "keypoints_righthand": 112}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        once = evaluate_wholebody(root / "gt.json", root / "res.json", sigmas, use_area=False)
        assert list(once) == list(WHOLEBODY_PARTS)
        for t, result in once.items():
            p = Params.for_type(t)
            first = offsets.get(t, 0)
            p.kpt_sigmas, p.use_area = sigmas[first : first + WHOLEBODY_PARTS[t][2]], False
            np.testing.assert_array_equal(result.precision, evaluate(gt, res, params=p).precision)
        body = evaluate_wholebody(gt, res, sigmas, iou_types=["keypoints_body"])
    assert list(body) == ["keypoints_body"] and body["keypoints_body"].params.use_area
    with pytest.raises(ValueError, match="133"):
        evaluate_wholebody(gt, res, sigmas[:17])
    with pytest.raises(ValueError, match="keypoints_crowd"):
        evaluate_wholebody(gt, res, sigmas, iou_types=["keypoints_crowd"])


def test_not_streamed(wholebody_files):
    from vantorel import StreamingEvaluator

    root, _, _ = wholebody_files
    with pytest.raises(ValueError, match=r"keypoints_foot is evaluated by vantorel\.evaluate"):
        StreamingEvaluator(root / "gt.json", "keypoints_foot")


def test_part_counts_that_differ_are_refused(tmp_path):
    # The plain-number reading hands such files to the strict reading, which names the fault.
    gt, res = evalgen.wholebody(9, n_images=8)
    res[-1]["foot_kpts"] = res[-1]["foot_kpts"][:-3]
    (tmp_path / "gt.json").write_text(json.dumps(gt))
    (tmp_path / "res.json").write_text(json.dumps(res))
    p = Params.for_type("keypoints_foot")
    p.kpt_sigmas = sigmas_for("keypoints_foot")
    with pytest.raises(ValueError, match="inconsistent keypoint counts"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        evaluate(tmp_path / "gt.json", tmp_path / "res.json", params=p)
