"""Drives one of MMPose's keypoint metrics the way MMPose's own metric tests
do (dataset_meta, process() per top-down batch, evaluate()), under MMPose's
Python; used by test_pose_mmpose.py.

Usage: pose_mmpose_driver.py GT RESULTS METRIC SCORE_MODE NMS_MODE OUT_DIR;
prints the metric's results (and the evaluator's module) as one JSON line.
"""

import contextlib
import io
import json
import os
import sys
import warnings

import evalgen


def _drive(gt_path, res_path, metric_name, score_mode, nms_mode, out_dir):
    """Under MMPose's Python: one top-down batch per result, then evaluate()."""
    import mmpose
    import numpy as np
    import xtcocotools.cocoeval
    from mmpose.datasets.datasets.utils import parse_pose_metainfo
    from mmpose.evaluation.metrics import CocoMetric, CocoWholeBodyMetric

    wholebody = metric_name == "CocoWholeBodyMetric"
    configs = os.path.join(os.path.dirname(mmpose.__file__), ".mim", "configs", "_base_", "datasets")
    meta = parse_pose_metainfo({"from_file": os.path.join(configs, "coco_wholebody.py" if wholebody else "coco.py")})
    with open(gt_path) as f:
        gt = json.load(f)
    meta["CLASSES"] = gt["categories"]
    with open(res_path) as f:
        results = json.load(f)
    parts = list(evalgen.WHOLEBODY_PARTS) if wholebody else ["keypoints"]
    metric = (CocoWholeBodyMetric if wholebody else CocoMetric)(
        ann_file=gt_path, outfile_prefix=os.path.join(out_dir, "run"), score_mode=score_mode, nms_mode=nms_mode
    )
    metric.dataset_meta = meta
    for n, d in enumerate(results):
        kpts = np.array([v for part in parts for v in d[part]], dtype=np.float64).reshape(1, -1, 3)
        xs, ys = kpts[0, :, 0], kpts[0, :, 1]
        box = [xs.min(), ys.min(), xs.max() - xs.min(), ys.max() - ys.min()]
        sample = {
            "id": n + 1,
            "img_id": d["image_id"],
            "category_id": d["category_id"],
            "gt_instances": {
                "bboxes": np.array(box, dtype=np.float32).reshape(1, 4),
                "bbox_scales": np.array([box[2] * 1.25, box[3] * 1.25]).reshape(1, 2),
                "bbox_scores": np.array([d["score"]], dtype=np.float32),
            },
            "pred_instances": {"keypoints": kpts[..., :2], "keypoint_scores": kpts[..., 2]},
            "ori_shape": [480, 640],
        }
        metric.process([{"inputs": None}], [sample])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        scores = metric.evaluate(size=len(results))
    out = {k: float(v) for k, v in scores.items()}
    out["evaluator_module"] = xtcocotools.cocoeval.COCOeval.__module__
    print(json.dumps(out))


if __name__ == "__main__":
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):  # MMPose and the evaluator print their progress
        _drive(*sys.argv[1:7])
    print(buf.getvalue().strip().splitlines()[-1])
