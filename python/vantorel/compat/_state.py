"""The detections of a compat ``COCOeval`` as a ``StreamingEvaluator`` state:
compact columns that pickle to a few bytes per detection and merge exactly
across processes.

The state holds the results as they were given to ``loadRes``, not as it
completed them: ``loadRes`` decides from the first result how to derive areas
(from the box, the mask or the keypoints), and a derived box kept in the
state would turn a mask result set into a box one, changing its areas. Once
merged, the results go through ``loadRes`` again, as one set in rank order,
so the completion is that of the reference on all of them at once.
"""

from __future__ import annotations

import contextlib
import io
from typing import Any

import numpy as np

from .. import _zerlin
from ..loading import LoadedGroundTruth
from ..params import COCO_KPT_SIGMAS
from ..params import Params as CoreParams
from ..streaming import StreamingEvaluator, ground_truth_fingerprint
from .coco import COCO


class NotCompact(ValueError):
    """Results that a state cannot hold so that ``loadRes`` completes them
    as it completed the originals."""


# Which loadRes completions each evaluation type can be rebuilt from: box
# results (area from the box) and those of its own geometry.
_KINDS = {"bbox": ("bbox",), "segm": ("bbox", "segm"), "boundary": ("bbox", "segm"), "keypoints": ("bbox", "keypoints")}


def core_params(p: Any) -> CoreParams:
    """The engine's parameters for a compat ``Params``: what states compare
    before they merge."""
    return CoreParams(
        iou_type=p.iouType,
        img_ids=list(p.imgIds),
        cat_ids=list(p.catIds),
        iou_thrs=np.asarray(p.iouThrs, dtype=np.float64),
        rec_thrs=np.asarray(p.recThrs, dtype=np.float64),
        max_dets=[int(m) for m in p.maxDets],
        area_rng=[[float(lo), float(hi)] for lo, hi in p.areaRng],
        area_labels=list(p.areaRngLbl),
        use_cats=bool(p.useCats),
        kpt_sigmas=np.asarray(getattr(p, "kpt_oks_sigmas", COCO_KPT_SIGMAS), dtype=np.float64),
    )


def ground_truth_of(coco: Any) -> LoadedGroundTruth:
    """The ground truth as the engine reads it, without making the
    annotation dicts of a COCO that has not made them yet."""
    if isinstance(coco, COCO):
        return LoadedGroundTruth(coco._dataset, coco._evaluation_side())
    dataset = coco.dataset
    return LoadedGroundTruth(dataset, dataset.get("annotations") or [])


def gt_fingerprint(coco: Any) -> bytes:
    gt = ground_truth_of(coco)
    return ground_truth_fingerprint(gt.dataset, gt.annotations)


def export(gt: Any, dt: Any, params: Any) -> StreamingEvaluator:
    """A new state holding the results of ``dt`` (a ``loadRes`` set of
    ``gt``) for evaluation with ``params``; NotCompact says why not."""
    raw = _raw_results(gt, dt, params.iouType)
    state = empty_state(gt, params)
    state.update(raw)
    return state


def empty_state(gt: Any, params: Any) -> StreamingEvaluator:
    """A state without results on ``gt``; an unpickled copy loads ``gt``
    from its file when it has one."""
    if gt is None:
        raise NotCompact("it has no ground truth (cocoGt is None)")
    state = StreamingEvaluator(ground_truth_of(gt), params.iouType, params=core_params(params))
    state.gt_path = getattr(gt, "_path", None)
    return state


def relabel(state: StreamingEvaluator, params: Any) -> None:
    """Gives a held state the evaluator's current parameters: rows do not
    depend on them, only the check that states to merge agree does."""
    core = core_params(params)
    if core.iou_type != state.iou_type:
        raise NotCompact(
            f"its detections were gathered for {state.iou_type!r}, the parameters now ask for {core.iou_type!r}"
        )
    state.params = core


def _raw_results(gt: Any, dt: Any, iou_type: str) -> Any:
    """The results of ``dt`` with the fields that ``loadRes`` completes from
    and the evaluation reads, as ``StreamingEvaluator.update`` takes them."""
    if iou_type not in _KINDS:
        raise NotCompact(f"iouType {iou_type!r} is not one the engine evaluates")
    if dt is None:
        raise NotCompact("it has no results (cocoDt is None)")
    kind = getattr(dt, "_result_kind", None)
    if kind is None:
        raise NotCompact("its results were not made by vantorel.compat's COCO.loadRes")
    if kind not in _KINDS[iou_type]:
        raise NotCompact(
            f"its results were completed as {kind} results (decided by the first result), whose derived "
            f"fields a {iou_type} state does not keep"
        )
    side = dt._evaluation_side()
    if iou_type == "bbox" or isinstance(side, _zerlin.CompactBbox):
        return side  # boxes are read as they were given: loadRes changes none
    geometry = "keypoints" if iou_type == "keypoints" else "segmentation"
    with_box = kind == "bbox"  # else the box is one loadRes derived: left out, it derives again
    out = []
    for a in side:
        d = {"image_id": a["image_id"], "category_id": a["category_id"], "score": a["score"]}
        if with_box:
            d["bbox"] = a["bbox"]
        value = a.get(geometry)
        if value is not None:
            # Polygons (a box result's outline among them) as the RLE the
            # evaluation would make of them; a box result's area stays w * h.
            d[geometry] = gt.annToRLE(a) if geometry == "segmentation" and isinstance(value, list) else value
        out.append(d)
    return out


def result_set(gt: Any, state: StreamingEvaluator) -> COCO:
    """The ``loadRes`` set of every result a state holds, in order."""
    if gt is None:
        raise ValueError(
            "this COCOeval came without its ground truth (it was loaded from a dict, which is not pickled): "
            "merge it into the evaluator that has it, E.merge(other), or assign cocoGt first"
        )
    if gt_fingerprint(gt) != state.gt_fingerprint():
        raise ValueError("cocoGt is not the ground truth these results were gathered on")
    results = state.results() if len(state) else []
    with contextlib.redirect_stdout(io.StringIO()):  # a step of its own: the reference prints nothing here
        res: COCO = gt.loadRes(results)
    return res


def load_ground_truth(path: str) -> COCO:
    with contextlib.redirect_stdout(io.StringIO()):
        return COCO(path)
