"""``faster_coco_eval.extra.extra``: ``ExtraEval``, the evaluation behind
the curves and previews.

It evaluates copies of the two datasets at one IoU threshold (keypoints:
at the default ten, marking at the first), over the whole area range and
every detection (at least 1000 per image), and marks every evaluated
annotation with its verdict, as faster-coco-eval does:

- ground truth: "ignore" (as the evaluation counts it), then "dt_id" (the
  detection that matched it) or "fn": True;
- detections: "tp": True with "gt_id" and "iou", or "fp": True.

The verdicts come from the engine's per-instance columns; only the marking
itself touches each annotation. ``eval["matched"]`` maps "<dt id>_<gt id>"
to the pair's IoU.

Examples
--------
>>> from vantorel.compat.faster_coco_eval.extra.extra import ExtraEval
>>> E = ExtraEval(gt, dt, iouType="bbox", iou_tresh=0.5)  # doctest: +SKIP
>>> sorted(E.fn_image_ann_map)[:3]                         # doctest: +SKIP
[1, 3, 4]
"""

from __future__ import annotations

import copy
import logging
from collections import defaultdict
from typing import Any

import numpy as np

from ... import faster as _faster
from ...faster import COCO, COCOeval_faster

__all__ = ["COCO", "COCOeval_faster", "ExtraEval"]

logger = logging.getLogger(__name__)

#: The least detection cap per image of the marking evaluation (else the number of results), as faster-coco-eval's.
MAX_DETECTIONS = 1000


class ExtraEval:
    """Evaluate copies of ``cocoGt`` and ``cocoDt`` at one IoU threshold and
    mark each annotation true/false positive or false negative.

    Parameters
    ----------
    cocoGt : COCO
        Ground truth (required: AssertionError "cocoGt is empty" otherwise).
    cocoDt : COCO or None
        Results; when given, those scored under ``min_score`` are dropped and
        the evaluation runs at once, else call ``evaluate()`` later.
    iouType : str
        "bbox", "segm" or "keypoints" (keypoints always per category).
    min_score : float
        Results scored below it are dropped before evaluating.
    iou_tresh : float
        The one IoU threshold (faster-coco-eval's spelling).
    recall_count : int
        The recall axis has ``recall_count + 1`` points from 0 to 1.
    useCats : bool
        Match within categories (True) or across them (False).
    kpt_oks_sigmas : sequence of float or None
        Keypoint sigmas ("keypoints").

    Examples
    --------
    >>> E = ExtraEval(gt, dt, iouType="segm", iou_tresh=0.5)  # doctest: +SKIP
    >>> E.eval["counts"]                                       # doctest: +SKIP
    [1, 101, 1, 1, 1]
    """

    def __init__(
        self,
        cocoGt: COCO | None = None,
        cocoDt: COCO | None = None,
        iouType: str = "bbox",
        min_score: float = 0,
        iou_tresh: float = 0.0,
        recall_count: int = 100,
        useCats: bool = False,
        kpt_oks_sigmas: list[float] | None = None,
    ) -> None:
        assert cocoGt is not None, "cocoGt is empty"
        # The marks are written into the annotations: the caller's datasets stay as they were.
        self.cocoGt = _copied(cocoGt)
        self.cocoDt = _copied(cocoDt)
        self.iouType = iouType
        self.min_score = min_score
        self.iou_tresh = iou_tresh
        self.useCats = True if iouType == "keypoints" else useCats
        self.recall_count = recall_count
        self.kpt_oks_sigmas: np.ndarray | None = None if kpt_oks_sigmas is None else np.array(kpt_oks_sigmas)
        self.recThrs = np.linspace(0, 1, recall_count + 1, endpoint=True)
        self.eval: dict[str, Any] | None = None
        if cocoDt is not None:
            self.drop_cocodt_by_score(min_score)
            self.evaluate()

    def evaluate(self) -> None:
        """Evaluates at ``iou_tresh``, accumulates into ``eval`` and marks
        the annotations (see the module's notes).

        Raises
        ------
        AssertionError
            Without results ("cocoDt is empty").
        """
        assert self.cocoDt is not None, "cocoDt is empty"
        sigmas = None if self.kpt_oks_sigmas is None else self.kpt_oks_sigmas.tolist()
        ev = COCOeval_faster(self.cocoGt, self.cocoDt, iouType=self.iouType, kpt_oks_sigmas=sigmas)
        p = ev.params
        max_det = max(MAX_DETECTIONS, len(self.cocoDt.anns))  # every detection, as the reference scores them
        p.maxDets = [max_det]
        if self.iouType != "keypoints":
            # Keypoints keep the default thresholds, as in the reference: marks are made at the first (0.5).
            p.iouThrs = [self.iou_tresh]
        p.useCats = int(self.useCats)
        p.recThrs = self.recThrs
        p.areaRng = [[0, 10000000000]]
        ev.evaluate()
        ev.accumulate()
        self.cocoEval = ev
        self.eval = ev.eval
        if not isinstance(ev, _faster.COCOeval_faster):
            return  # a stand-in evaluator (a test's double) has no verdicts to mark
        rows = [_verdicts(ev, t, max_det) for t in range(len(p.iouThrs))]
        ev.eval["matched"] = _mark(self.cocoGt.anns, self.cocoDt.anns, rows, self.iouType)
        ev.eval["evaluations_size"] = len(p.imgIds) * (len(p.catIds) if p.useCats else 1)
        ev.matched = True

    def drop_cocodt_by_score(self, min_score: float) -> None:
        """Removes the results scored under ``min_score`` from ``cocoDt``
        (its dataset, and every index rebuilt).

        Raises
        ------
        AssertionError
            Without results ("cocoDt is empty").
        """
        assert self.cocoDt is not None, "cocoDt is empty"
        if min_score <= 0:
            return
        dt = self.cocoDt
        kept = [ann for ann in dt.anns.values() if ann["score"] >= min_score]
        if len(kept) == len(dt.anns):
            return
        dt.dataset["annotations"] = kept
        dt.createIndex()  # every index, from the kept annotations

    @property
    def fp_image_ann_map(self) -> defaultdict[int, set[int]]:
        """The ids of the false positives ("fp" marks) of each image."""
        return _image_ann_map(self.cocoDt.anns if self.cocoDt is not None else {}, "fp")

    @property
    def fn_image_ann_map(self) -> defaultdict[int, set[int]]:
        """The ids of the false negatives ("fn" marks) of each image."""
        return _image_ann_map(self.cocoGt.anns, "fn")


def _copied(coco: Any) -> Any:
    """A deep copy of a dataset; one that holds a file's native handle
    (which does not copy) is rebuilt from its annotations instead."""
    try:
        return copy.deepcopy(coco)
    except TypeError:
        pass
    data = {k: v for k, v in coco.dataset.items() if k != "annotations"}
    data["annotations"] = list(coco.anns.values())
    new = type(coco)()
    new.dataset = copy.deepcopy(data)
    new.createIndex()
    return new


def _image_ann_map(anns: dict[Any, Any], mark: str) -> defaultdict[int, set[int]]:
    out: defaultdict[int, set[int]] = defaultdict(set)
    for ann in anns.values():
        if ann.get(mark, False):
            out[ann["image_id"]].add(ann["id"])
    return out


def _verdicts(ev: COCOeval_faster, t: int, max_det: int) -> tuple[dict[str, np.ndarray], dict[str, np.ndarray]]:
    """Per-detection and per-ground-truth columns at threshold ``t``: the
    engine's own, or (when the evaluation ran in Python, for ids the engine
    does not take) the same columns read from ``evalImgs``."""
    native = getattr(ev, "_native", None)
    if native is not None:
        dts, gts = native["evaluator"].per_instance(t, 0, max_det)
        return dts, gts
    dt_id: list[Any] = []
    gt_of: list[Any] = []
    gt_id: list[Any] = []
    gt_hit: list[bool] = []
    for rec in ev.evalImgs:
        if rec is None:
            continue
        dt_id += list(rec["dtIds"])
        # Matches are held as floats there; the ids are the annotations' own.
        gt_of += [int(g) if float(g).is_integer() else g for g in rec["dtMatches"][t]]
        gt_id += list(rec["gtIds"])
        gt_hit += [bool(m) for m in rec["gtMatches"][t]]
    # The IoU of each matched pair is what the evaluation computed for it.
    iou = [_pair_iou(ev, d, g) if g else 0.0 for d, g in zip(dt_id, gt_of, strict=True)]
    dts = {"dt_id": np.array(dt_id, dtype=object), "gt_id": np.array([g if g else -1 for g in gt_of], dtype=object),
           "iou": np.array(iou, dtype=float)}  # fmt: skip
    gts = {"gt_id": np.array(gt_id, dtype=object), "matched": np.array(gt_hit, dtype=bool)}
    return dts, gts


def _pair_iou(ev: COCOeval_faster, dt_id: Any, gt_id: Any) -> float:
    """The IoU the Python evaluation computed for a pair: its matrix has the
    detections in score order and the ground truths as gathered."""
    p = ev.params
    dt = ev.cocoDt.anns[dt_id]
    img = dt["image_id"]
    cats = [dt["category_id"]] if p.useCats else p.catIds
    dts = [d for c in cats for d in ev._dts[img, c]]
    gts = [g for c in cats for g in ev._gts[img, c]]
    order = np.argsort([-d["score"] for d in dts], kind="mergesort")
    d = [dts[i]["id"] for i in order].index(dt_id)
    g = [a["id"] for a in gts].index(gt_id)
    ious = ev.ious[(img, dt["category_id"] if p.useCats else -1)]
    return float(np.asarray(ious)[d, g])


def _mark(
    gt_anns: dict[Any, Any],
    dt_anns: dict[Any, Any],
    rows: list[tuple[dict[str, np.ndarray], dict[str, np.ndarray]]],
    iou_type: str,
) -> dict[str, float]:
    """Writes the verdicts into the annotations; returns the matched pairs.

    With several thresholds (keypoints) a detection matched at any of them
    is marked with its pair at the first such threshold, as the reference
    does, and a ground truth with its match at the last (the reference takes
    one of its matches in its hash order); ``matched`` holds the pairs of
    every threshold."""
    matched: dict[str, float] = {}
    match_of: dict[Any, Any] = {}
    for t, (dts, gts) in enumerate(rows):
        by_gt: dict[Any, Any] = {}
        for d, g, iou in zip(dts["dt_id"].tolist(), dts["gt_id"].tolist(), dts["iou"].tolist(), strict=True):
            ann = dt_anns[d]
            if g == -1:
                if t == 0:
                    ann["fp"] = True
                continue
            matched[f"{d}_{g}"] = iou
            by_gt[g] = d  # a crowd region may match several: the last one in score order
            if ann.get("tp", False):
                continue
            ann.pop("fp", None)
            ann["tp"] = True
            ann["gt_id"] = g
            ann["iou"] = iou
        for g, hit in zip(gts["gt_id"].tolist(), gts["matched"].tolist(), strict=True):
            if hit and g in by_gt:
                match_of[g] = by_gt[g]
    for ann in dt_anns.values():
        # Detections the evaluation left out (keypoints skip categories without ground truth) count as false.
        if not ann.get("tp", False):
            ann["fp"] = True
    for g in rows[0][1]["gt_id"].tolist():
        ann = gt_anns[g]
        ann["ignore"] = _reference_ignore(ann, iou_type)
        if g in match_of:
            ann["dt_id"] = match_of[g]
        else:
            ann["fn"] = True
    return matched


def _reference_ignore(ann: dict[str, Any], iou_type: str) -> Any:
    """The "ignore" value the reference writes: the crowd flag as given
    (False without one), or True for keypoints with none labelled."""
    crowd = "iscrowd" in ann and ann["iscrowd"]
    if iou_type == "keypoints":
        return (ann.get("num_keypoints") == 0) or crowd
    return crowd
