"""xtcocotools' ``COCOeval`` (the extended COCO evaluation MMPose calls) on
vantorel's engine: ``COCOeval(cocoGt, cocoDt, iouType, sigmas, use_area)``
with iouType "keypoints", "keypoints_crowd" (CrowdPose), COCO-WholeBody's
"keypoints_body", "keypoints_foot", "keypoints_face", "keypoints_lefthand",
"keypoints_righthand" and "keypoints_wholebody", "bbox" or "segm".

A whole-body type (read by the engine from the loaded files' columns)
evaluates COCO keypoints on its part's list of each annotation and result (``keypoints``, ``foot_kpts``, ``face_kpts``,
``lefthand_kpts``, ``righthand_kpts``; all five joined in that order for
"keypoints_wholebody") with the sigmas given for it: the person's area
scales the similarity, a ground truth without a visible keypoint of the
part is ignored, and a result is ranked by its part score (``foot_score``,
``face_score``, ``lefthand_score``, ``righthand_score``,
``wholebody_score``; ``score`` for the body, and with a warning where the
part score is missing), as xtcocotools does.

Deliberate differences from xtcocotools (each a fault there):

- keypoints_crowd splits the images of ``params.imgIds`` by crowd index
  (xtcocotools re-reads every image of the ground-truth file, whatever
  ``imgIds`` says, and fails on a ground truth not loaded from a file);
- ``summarize()`` leaves ``eval``, ``evalImgs`` and ``params`` as
  ``accumulate()`` made them (xtcocotools leaves those of its last split).

As xtcocotools does, results without a keypoint of positive confidence are
left out, and with ``use_area`` off a ground truth's area range is tested
on 0.53 x its box area.

For "keypoints" and the whole-body types a ground truth without a visible
keypoint is ignored whatever its ``num_keypoints`` (keypoints_crowd goes by
``num_keypoints``), as xtcocotools does. Not matched yet: evaluations that
take the per-image route (ids that are not integers, subclasses replacing
the steps) keep none of these rules.

Examples
--------
>>> from vantorel.compat.xtcocotools.coco import COCO
>>> from vantorel.compat.xtcocotools.cocoeval import COCOeval
>>> gt = COCO("crowdpose_val.json")                                  # doctest: +SKIP
>>> E = COCOeval(gt, gt.loadRes("results.json"), "keypoints_crowd", sigmas)  # doctest: +SKIP
>>> E.evaluate(); E.accumulate(); E.summarize()                       # doctest: +SKIP
"""

from __future__ import annotations

import itertools
import warnings
from typing import Any

import numpy as np

from ... import _engine
from ...params import COCO_KPT_SIGMAS, KEYPOINT_TYPES, WHOLEBODY_PARTS
from .. import _perimage, _state
from .. import cocoeval as _base
from .._output import emit, lines_to
from ..coco import COCO

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
        "keypoints", "keypoints_crowd", a COCO-WholeBody type, "bbox" or "segm".
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

    def _evaluate_python(self, p: Any) -> None:
        # The engine reads a whole-body part's lists itself; the per-image
        # steps read "keypoints", so here the part's keypoints become each
        # annotation's "keypoints", on sets made for this call (the caller's
        # stay as they are).
        part = WHOLEBODY_PARTS.get(p.iouType)
        if part is None:
            super()._evaluate_python(p)
            return
        gt, dt = self._coco_gt, self._coco_dt
        with lines_to(lambda _: None):
            part_gt = COCO(_part_dataset(self.cocoGt.dataset, part[0], part[1], False))
            part_dt = COCO(
                _part_dataset(
                    {**self.cocoGt.dataset, "annotations": self.cocoDt.dataset["annotations"]},
                    part[0],
                    part[1],
                    True,
                )
            )
        self._coco_gt, self._coco_dt = part_gt, part_dt
        try:
            super()._evaluate_python(p)
        finally:
            self._coco_gt, self._coco_dt = gt, dt

    def _engine_options(self) -> dict[str, Any]:
        # xtcocotools' keypoints ignore a ground truth without a visible
        # keypoint, CrowdPose one whose num_keypoints is 0 (as pycocotools).
        return {
            "use_area": bool(self.use_area),
            "ranges_by_scale": True,
            "skip_unscored": True,
            "visibility_ignore": self.params.iouType != "keypoints_crowd",
        }

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


def _part_dataset(
    dataset: dict[str, Any], fields: tuple[str, ...], score_key: str | None, is_results: bool
) -> dict[str, Any]:
    """``dataset`` with each annotation's keypoints those of ``fields``
    joined; ground truth counts their visible keypoints, results take their
    score from ``score_key`` (None: "score")."""
    anns = []
    missing_score = False
    for a in dataset["annotations"]:
        b = {k: a[k] for k in ("id", "image_id", "category_id", "iscrowd", "area", "bbox") if k in a}
        lists = [a.get(f) or [] for f in fields]
        # One part's list is shared as it is (nothing here changes it).
        b["keypoints"] = lists[0] if len(lists) == 1 else list(itertools.chain.from_iterable(lists))
        if not is_results:
            b["num_keypoints"] = sum(v > 0 for v in b["keypoints"][2::3])
        elif score_key is None:
            b["score"] = a["score"]
        elif score_key in a:
            b["score"] = a[score_key]
        else:
            b["score"] = a["score"]
            missing_score = True
        anns.append(b)
    if missing_score:
        warnings.warn(f"{score_key!r} not found, use 'score' instead.", UserWarning, stacklevel=3)
    return {"images": dataset["images"], "categories": dataset["categories"], "annotations": anns}
