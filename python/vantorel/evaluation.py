"""The evaluation entry point: ground truth and results in, an ``EvalResult`` out."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _zerlin
from .loading import check_result_images, gc_paused, ground_truth_side, load_results, naming_file, results_side
from .params import Params
from .results import EvalResult, summarize


def _lvis_inputs(dataset: dict, gt_anns: list, results: Any, max_det: int) -> tuple[list, list, list]:
    """Applies the federated rules that live outside the engine: each image
    keeps its max_det best detections (over all categories, stable by score),
    and of those the ones of its verified categories (present or negative);
    the pairs flagged non-exhaustive come from the image records."""
    verified: dict = {}
    for img in dataset["images"]:
        verified[img["id"]] = set(img.get("neg_category_ids", []))
    for a in gt_anns:
        verified.setdefault(a["image_id"], set()).add(a["category_id"])
    side = results_side(results)
    if isinstance(side, _zerlin.CompactBbox) and not side.from_array:
        # Dicts only for the detections kept, chosen from the handle's columns.
        with gc_paused():
            kept = side.lvis_annotations(list(verified), set().union(*verified.values()), verified, max_det)
    else:
        dets = side if isinstance(side, list) else load_results(side)
        dets = _cap_per_image(dets, max_det)
        kept = [d for d in dets if d["category_id"] in verified.get(d["image_id"], ())]
    non_exhaustive = [
        (img["id"], c) for img in dataset["images"] for c in img.get("not_exhaustive_category_ids", [])
    ]
    gt_ignore = [bool(a.get("ignore", False)) for a in gt_anns]
    return kept, non_exhaustive, gt_ignore


def _cap_per_image(dets: list, max_det: int) -> list:
    """Keeps each image's max_det best-scoring detections, in input order."""
    by_image: dict = {}
    for i, d in enumerate(dets):
        by_image.setdefault(d["image_id"], []).append(i)
    keep = np.zeros(len(dets), dtype=bool)
    for rows in by_image.values():
        if len(rows) > max_det:
            scores = np.array([dets[i]["score"] for i in rows])
            order = np.argsort(-scores, kind="stable")[:max_det]
            keep[np.asarray(rows)[order]] = True
        else:
            keep[rows] = True
    return [d for d, k in zip(dets, keep) if k]


@dataclass
class Prepared:
    """An evaluation ready to run: the native ``Evaluator`` (not yet run) and
    what is needed to read its output.

    ``params`` is the resolved copy (image and category ids filled in);
    ``freq_groups`` maps an LVIS frequency letter to category positions
    (None outside LVIS mode).
    """

    evaluator: _zerlin.Evaluator
    params: Params
    dataset: dict
    lvis: bool
    freq_groups: dict | None
    cat_names: dict


def build_evaluator(
    gt: str | os.PathLike | dict,
    results: Any,
    iou_type: str = "bbox",
    *,
    lvis: bool = False,
    params: Params | None = None,
) -> Prepared:
    """Loads both sides and builds the native ``Evaluator``, without running it.

    Takes the same arguments as ``evaluate``; the analysis functions use it
    to read per-instance verdicts of the same evaluation.
    """
    p = params.copy() if params is not None else Params.for_type(iou_type, lvis=lvis)
    with naming_file("ground-truth", gt):
        dataset, gt_anns = ground_truth_side(gt, p.iou_type, lvis)
    if not p.img_ids:
        p.img_ids = sorted(img["id"] for img in dataset["images"])
    if not p.cat_ids:
        p.cat_ids = sorted(c["id"] for c in dataset["categories"])
    non_exhaustive = gt_ignore = None
    with naming_file("results", results):
        if lvis:
            dets, non_exhaustive, gt_ignore = _lvis_inputs(dataset, gt_anns, results, p.max_dets[-1])
        else:
            dets = results_side(results)
    check_result_images(dets, dataset)
    # Sizes only matter for masks; a box evaluation of images without them is fine.
    img_sizes = {img["id"]: (img["height"], img["width"]) for img in dataset["images"] if "height" in img and "width" in img}
    ev = _zerlin.Evaluator(
        gt_anns,
        dets,
        img_sizes,
        p.img_ids,
        p.cat_ids,
        list(map(float, p.iou_thrs)),
        list(map(float, p.rec_thrs)),
        list(p.max_dets),
        [list(map(float, r)) for r in p.area_rng],
        p.use_cats,
        p.iou_type,
        list(map(float, p.kpt_sigmas)),
        use_area=p.use_area,
        boundary_dilation=p.boundary_dilation,
    )
    freq_groups = None
    if lvis:
        ev.configure_lvis(gt_ignore, non_exhaustive)
        index = {c: k for k, c in enumerate(p.cat_ids)}
        freq_groups = {}
        for c in dataset["categories"]:
            if c["id"] in index and "frequency" in c:
                freq_groups.setdefault(c["frequency"], []).append(index[c["id"]])
    cat_names = {c["id"]: c.get("name", str(c["id"])) for c in dataset["categories"]}
    return Prepared(ev, p, dataset, lvis, freq_groups, cat_names)


def result_of(prepared: Prepared) -> EvalResult:
    """Runs a prepared evaluation and summarises it."""
    ev, p = prepared.evaluator, prepared.params
    res = ev.run()
    stats, names = summarize(res, p, prepared.lvis, prepared.freq_groups)
    return EvalResult(
        params=p,
        precision=res["precision"],
        recall=res["recall"],
        scores=res["scores"],
        stats=stats,
        stat_names=names,
        cat_names=prepared.cat_names,
        timings=ev.timings(),
    )


def evaluate(
    gt: str | os.PathLike | dict,
    results: Any,
    iou_type: str = "bbox",
    *,
    lvis: bool = False,
    params: Params | None = None,
) -> EvalResult:
    """Evaluates results against ground truth and returns arrays and summary statistics.

    ``gt`` is a dataset path or dict; ``results`` a path, a list of result
    dicts, an Nx7 array or a ``CompactBbox``. ``lvis`` selects the LVIS
    federated protocol. A given ``params`` is copied, never changed.
    """
    return result_of(build_evaluator(gt, results, iou_type, lvis=lvis, params=params))
