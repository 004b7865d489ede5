"""xtcocotools' ``COCOeval`` (the extended COCO evaluation MMPose calls) on
vantorel's engine: ``COCOeval(cocoGt, cocoDt, iouType, sigmas, use_area)``
with iouType "keypoints", "keypoints_crowd" (CrowdPose), "bbox" or "segm".

Deliberate differences from xtcocotools (each a fault there):

- keypoints_crowd splits the images of ``params.imgIds`` by crowd index
  (xtcocotools re-reads every image of the ground-truth file, whatever
  ``imgIds`` says, and fails on a ground truth not loaded from a file);
- ``summarize()`` leaves ``eval``, ``evalImgs`` and ``params`` as
  ``accumulate()`` made them (xtcocotools leaves those of its last split).

Examples
--------
>>> from vantorel.compat.xtcocotools.coco import COCO
>>> from vantorel.compat.xtcocotools.cocoeval import COCOeval
>>> gt = COCO("crowdpose_val.json")                                  # doctest: +SKIP
>>> E = COCOeval(gt, gt.loadRes("results.json"), "keypoints_crowd", sigmas)  # doctest: +SKIP
>>> E.evaluate(); E.accumulate(); E.summarize()                       # doctest: +SKIP
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ... import _engine
from ...params import COCO_KPT_SIGMAS, KEYPOINT_TYPES
from .. import _perimage, _state
from .. import cocoeval as _base
from .._output import emit

__all__ = ["COCOeval", "Params"]


class Params(_base.Params):
    """Evaluation parameters with xtcocotools' names and defaults (every
    keypoint type has COCO keypoints' maxDets and area ranges)."""

    def __init__(self, iouType: str = "segm") -> None:
        super().__init__("keypoints" if iouType in KEYPOINT_TYPES else iouType)
        self.iouType = iouType


class COCOeval(_base.COCOeval):
    """xtcocotools' evaluation of ``cocoDt`` against ``cocoGt``.

    Parameters
    ----------
    cocoGt, cocoDt : COCO or None
    iouType : str, default "keypoints"
        "keypoints", "keypoints_crowd", "bbox" or "segm".
    sigmas : array-like, optional
        Per-keypoint OKS constants (the 17 COCO person keypoints' by default).
    use_area : bool, default True
        Scale the similarity by the ground truth's area (else 0.53 x its box
        area, which then also decides its area range).
    """

    def __init__(
        self,
        cocoGt: Any = None,
        cocoDt: Any = None,
        iouType: str = "keypoints",
        sigmas: Any = None,
        use_area: bool = True,
    ) -> None:
        params = Params(iouType)  # refuses an unknown type before anything is made
        super().__init__(cocoGt, cocoDt, "keypoints" if iouType in KEYPOINT_TYPES else iouType)
        params.imgIds, params.catIds = self.params.imgIds, self.params.catIds
        self.params = params
        self.sigmas = COCO_KPT_SIGMAS.copy() if sigmas is None else np.asarray(sigmas)
        self.use_area = use_area
        self.score_key = "score"

    def evaluate(self) -> None:
        """Evaluates every image and category with the current ``params`` and ``sigmas``."""
        self.params.kpt_oks_sigmas = np.asarray(self.sigmas, dtype=np.float64)
        super().evaluate()

    def _engine_options(self) -> dict[str, Any]:
        return {"use_area": bool(self.use_area), "ranges_by_scale": True}

    def _oks(self, img_id: Any, cat_id: Any, p: Any) -> Any:
        gts, dts = self._pair(img_id, cat_id, p)
        dts = _perimage.sorted_detections(dts, p.maxDets[-1])
        return _perimage.oks_matrix(gts, dts, p.kpt_oks_sigmas, bool(self.use_area))

    def _print_line(self, line: _engine.Line, axes: _engine.Axes) -> float:
        mean = _engine.line_value(line, self.eval["precision"], self.eval["recall"], axes)
        emit(f" {line.label(axes.iou_thrs)} = {mean:6.3f}")  # xtcocotools pads to six places
        return mean

    def summarize(self) -> None:
        """Prints the summary lines and sets ``stats``: 12 values, 10 for
        keypoints, 9 for keypoints_crowd (its last three the AP of each crowd
        type, rounded to 4 places as xtcocotools gives them)."""
        if not self.eval:
            raise _base.EvaluationError("Please run accumulate() first")
        axes = _engine.Axes.of_reference(self.params)
        lines = _engine.summary_lines("pycocotools", axes)
        split = self._crowd_split() if any(line.crowd for line in lines) else None
        stats = []
        for line in lines:
            if not line.crowd:
                stats.append(self._print_line(line, axes))
                continue
            assert split is not None
            m = [k for k, cap in enumerate(axes.max_dets) if cap == line.max_det]
            # xtcocotools averages every cell of the type's images, -1 (no ground truth) included.
            cells = split[:, :, :, _engine.CROWD_TYPES.index(line.area), m]
            value = round(float(np.mean(cells)), 4) if cells.size else -1.0
            emit(f" {line.label(axes.iou_thrs)} = {value:0.3f}")
            stats.append(value)
        self.stats = np.array(stats)

    def _crowd_split(self) -> np.ndarray:
        """The precision of the evaluated images split by crowd type."""
        p = self.params
        gt = self.cocoGt
        core = _state.core_params(p)
        core.use_area = bool(self.use_area)
        crowd_index = _engine.crowd_indexes(gt.imgs.values(), core.img_ids)
        gt_side, dt_side = _base._restricted_sides(gt, self.cocoDt, p)
        run = _engine.crowd_evaluator(gt_side, dt_side, core, crowd_index).run()
        precision: np.ndarray = run["precision"]
        return precision
