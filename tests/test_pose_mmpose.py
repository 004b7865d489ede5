"""MMPose's keypoint metrics (CocoMetric, CocoWholeBodyMetric) on vantorel
through the xtcocotools alias give the numbers they give on xtcocotools.

MMPose needs NumPy 1 and PyTorch, so it runs in its own environment
(VANTOREL_MMPOSE_PYTHON), made as this one was::

    python3 -m venv ENV && ENV/bin/pip install torch==2.13.0 mmengine mmcv-lite==2.1.0
    ENV/bin/pip install --no-deps mmpose==1.3.2   # without its chumpy and torchvision
    ENV/bin/pip install json_tricks munkres scipy 'opencv-python<4.11' matplotlib xtcocotools 'numpy<2'
    ENV/bin/pip install --no-deps dist/vantorel-*.whl   # built against NumPy 2, runs on 1.26

The same driver (pose_mmpose_driver.py) runs there twice, once on the real
xtcocotools, once with ``VANTOREL_AS=xtcocotools``.
"""

import json
import os
import subprocess

import pytest

import evalgen

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pose_mmpose_driver.py")
PYTHON = os.environ.get("VANTOREL_MMPOSE_PYTHON", "/work/venvs/pose-mmpose/bin/python")
needs_mmpose = pytest.mark.skipif(
    not os.path.exists(PYTHON),
    reason=f"MMPose environment absent ({PYTHON}); see this module's docstring and set VANTOREL_MMPOSE_PYTHON",
)


def run_driver(gt_path, res_path, metric, score_mode, nms_mode, out_dir, alias):
    env = dict(os.environ)
    env.pop("VANTOREL_AS", None)
    if alias:
        env["VANTOREL_AS"] = "xtcocotools"
    argv = [PYTHON, DRIVER, str(gt_path), str(res_path), metric, score_mode, nms_mode, str(out_dir)]
    done = subprocess.run(argv, capture_output=True, text=True, env=env, cwd=out_dir)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


@needs_mmpose
@pytest.mark.parametrize(
    "metric,score_mode,nms_mode",
    [
        ("CocoMetric", "bbox", "none"),
        ("CocoMetric", "bbox_keypoint", "oks_nms"),
        ("CocoWholeBodyMetric", "bbox", "none"),
        ("CocoWholeBodyMetric", "bbox_keypoint", "oks_nms"),
    ],
)
def test_mmpose_metric_through_alias(tmp_path, metric, score_mode, nms_mode):
    gt, res = evalgen.wholebody(44, n_images=30, strays=True)
    (tmp_path / "gt.json").write_text(json.dumps(gt))
    (tmp_path / "res.json").write_text(json.dumps(res))
    runs = {}
    for alias in (False, True):
        out = tmp_path / ("ours" if alias else "ref")
        out.mkdir()
        runs[alias] = run_driver(tmp_path / "gt.json", tmp_path / "res.json", metric, score_mode, nms_mode, out, alias)
    assert runs[True].pop("evaluator_module").startswith("vantorel.")
    assert runs[False].pop("evaluator_module") == "xtcocotools.cocoeval"
    assert runs[True] == runs[False] and len(runs[True]) >= 10
    assert 0 < runs[True]["coco-wholebody/AP" if metric == "CocoWholeBodyMetric" else "coco/AP"] < 1
