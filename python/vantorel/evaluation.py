"""The evaluation entry point: ground truth and results in, an ``EvalResult`` out."""

from __future__ import annotations

import os
from collections.abc import Hashable
from dataclasses import dataclass
from typing import Any

from . import _engine, _zerlin
from .ids import EngineIds, map_ids, sort_key, sorted_distinct
from .loading import check_result_images, check_results, ground_truth_side, naming_file, results_side
from .params import WHOLEBODY_PARTS, Params
from .results import EvalResult

#: What ``evaluate`` accepts as ground truth: a dataset file's path or the loaded dict.
GroundTruth = str | os.PathLike[str] | dict[str, Any]


@dataclass
class Prepared:
    """An evaluation ready to run: the native ``Evaluator`` (not yet run) and
    what is needed to read its output.

    Everything here is in the engine's ids: ``params`` is the resolved copy
    (image and category ids filled in) and ``dataset`` the ground truth as the
    engine saw it. They equal the caller's unless some id was not an integer;
    ``ids`` then maps the engine's ids back (None otherwise). ``freq_groups``
    maps an LVIS frequency letter to category positions (None outside LVIS
    mode). ``crowd`` is CrowdPose's split by crowd index (keypoints_crowd only).

    Examples
    --------
    >>> prepared = build_evaluator("gt.json", "results.json", "bbox")  # doctest: +SKIP
    >>> detections, ground_truths = prepared.evaluator.per_instance(0, 0, 100)  # doctest: +SKIP
    """

    evaluator: _zerlin.Evaluator
    params: Params
    dataset: dict[str, Any]
    lvis: bool
    freq_groups: dict[str, list[int]] | None
    cat_names: dict[Any, str]
    ids: EngineIds | None = None
    crowd: _zerlin.Evaluator | None = None

    def user_params(self) -> Params:
        """``params`` with the caller's own image and category ids.

        Examples
        --------
        >>> prepared.user_params().img_ids[:2]  # doctest: +SKIP
        ['000001.jpg', '000002.jpg']
        """
        if self.ids is None:
            return self.params
        p = self.params.copy()
        p.img_ids = self.ids.image_back(p.img_ids)
        p.cat_ids = self.ids.category_back(p.cat_ids)
        return p


def resolve_params(iou_type: str | None, lvis: bool, params: Params | None) -> Params:
    """The evaluation's own ``Params``: a copy of ``params``, or the defaults
    for ``iou_type``; the two must agree when both are given.

    Examples
    --------
    >>> resolve_params(None, True, None).max_dets
    [300]
    """
    if params is None:
        return Params.for_type(iou_type or "bbox", lvis=lvis)
    if iou_type is not None and iou_type != params.iou_type:
        raise ValueError(f"iou_type={iou_type!r} contradicts params.iou_type={params.iou_type!r}; give one of them")
    Params.for_type(params.iou_type)  # the same check of the name as without params
    return params.copy()


def build_evaluator(
    gt: GroundTruth,
    results: Any,
    iou_type: str | None = None,
    *,
    lvis: bool = False,
    params: Params | None = None,
) -> Prepared:
    """Loads both sides and builds the native ``Evaluator``, without running it.

    Takes the same arguments as ``evaluate``; the analysis functions use it
    to read per-instance verdicts of the same evaluation, and ``result_of``
    runs it.

    Examples
    --------
    >>> prepared = build_evaluator("gt.json", "results.json", "bbox")  # doctest: +SKIP
    >>> result = result_of(prepared)  # doctest: +SKIP
    """
    p = resolve_params(iou_type, lvis, params)
    _check_part_sigmas(p)
    # Nothing but this evaluation sees the handles: a box evaluation lets
    # the files' text go once their columns are read.
    boxes_only = p.iou_type == "bbox" and not lvis
    with naming_file("ground-truth", gt):
        dataset, gt_anns = ground_truth_side(gt, p.iou_type, boxes_only)
    if not p.img_ids:
        p.img_ids = sorted((img["id"] for img in dataset["images"]), key=sort_key)
    if not p.cat_ids:
        p.cat_ids = sorted((c["id"] for c in dataset["categories"]), key=sort_key)
    # The reference evaluates its ids sorted and distinct whatever order they
    # came in: ties in score across images fall in image order, and the
    # category axis of the arrays follows the sorted ids.
    p.img_ids = sorted_distinct(p.img_ids)
    p.cat_ids = sorted_distinct(p.cat_ids)
    with naming_file("results", results):
        side = results_side(results, boxes_only)
        named = check_results(side) if isinstance(side, list) else None
        check_result_images(side, dataset, named.images if named else None)
    with naming_file("ground-truth", gt):  # its annotations are read for their ids here
        engine_side = map_ids(dataset, gt_anns, side, p, named)
    crowd = None
    if p.iou_type == "keypoints_crowd":
        with naming_file("ground-truth", gt):
            crowd_index = _engine.crowd_indexes(engine_side[0]["images"], p.img_ids)
        crowd = _engine.crowd_evaluator(engine_side[1], engine_side[2], p, crowd_index)
    ev, freq_groups = _engine_of(p, lvis, *engine_side[:3])
    dataset, ids = engine_side[0], engine_side[3]
    cat_names = {c["id"]: c.get("name", str(c["id"])) for c in dataset["categories"]}
    return Prepared(ev, p, dataset, lvis, freq_groups, cat_names, ids, crowd)


def _check_part_sigmas(p: Params) -> None:
    """A whole-body type needs one sigma per keypoint of its part (the
    engine would take the first ones of a longer list)."""
    part = WHOLEBODY_PARTS.get(p.iou_type)
    if part is not None and len(p.kpt_sigmas) != part[2]:
        raise ValueError(
            f"{p.iou_type} needs kpt_sigmas with one value per keypoint of its part ({part[2]}); "
            f"got {len(p.kpt_sigmas)}"
        )


def _engine_of(
    p: Params, lvis: bool, dataset: dict[str, Any], gt_anns: Any, side: Any
) -> tuple[_zerlin.Evaluator, dict[str, list[int]] | None]:
    """The native Evaluator of inputs in engine ids, LVIS rules applied."""
    # Sizes only matter for masks; a box evaluation of images without them is fine.
    img_sizes = {
        img["id"]: (img["height"], img["width"]) for img in dataset["images"] if "height" in img and "width" in img
    }
    if not lvis:
        return _engine.evaluator(gt_anns, side, img_sizes, p), None
    federated = _engine.Federated.of_dataset(dataset, gt_anns, p.max_dets[-1])
    ev = _engine.evaluator(gt_anns, side, img_sizes, p, federated)
    return ev, _engine.frequency_groups(dataset["categories"], p.cat_ids)


def result_of(prepared: Prepared) -> EvalResult:
    """Runs a prepared evaluation and summarises it, in the caller's ids.

    Examples
    --------
    >>> result = result_of(build_evaluator("gt.json", "results.json", "bbox"))  # doctest: +SKIP
    """
    ev = prepared.evaluator
    cat_names: dict[Hashable, str] = dict(prepared.cat_names)
    if prepared.ids is not None and prepared.ids.categories is not None:
        back = prepared.ids.categories.originals
        cat_names = {back[c]: name for c, name in prepared.cat_names.items()}
    return EvalResult.from_run(
        ev.run(),
        prepared.user_params(),
        cat_names=cat_names,
        timings=ev.timings(),
        lvis=prepared.lvis,
        freq_groups=prepared.freq_groups,
        crowd=None if prepared.crowd is None else prepared.crowd.run(),
    )


def evaluate(
    gt: GroundTruth,
    results: Any,
    iou_type: str | None = None,
    *,
    lvis: bool = False,
    params: Params | None = None,
) -> EvalResult:
    """Evaluates detections against ground truth by the COCO protocol (or LVIS's).

    Gives the reference COCO evaluation's arrays and summary statistics
    exactly (``pycocotools``; the ``lvis`` package in LVIS mode).

    Parameters
    ----------
    gt : str, os.PathLike or dict
        The ground-truth dataset: a COCO JSON file or the loaded dict (with
        ``images``, ``annotations`` and ``categories``).
    results : str, os.PathLike, list of dict, numpy.ndarray or CompactBbox
        The detections: a results JSON file (an array of detections), a list
        of result dicts (never changed), an Nx7 array of rows
        ``[image_id, x, y, w, h, score, category_id]`` or a compact handle
        from ``vantorel._zerlin``. Every detection needs ``image_id``,
        ``category_id`` and ``score``. Image and category ids may be ints,
        strings or floats holding whole numbers.
    iou_type : str, optional
        What is compared ("bbox", "segm", "keypoints", "boundary",
        "keypoints_crowd" or a COCO-WholeBody type); "bbox" unless
        ``params`` says otherwise.
        "keypoints_crowd" is CrowdPose's protocol (xtcocotools'): keypoints
        as COCO matches them, with AP also over the images of each crowd
        type (each image's ``crowdIndex``: easy below 0.2, medium below
        0.8, hard from 0.8); as there, results without a keypoint of
        positive confidence are left out. Unlike there, a type's AP keeps
        every digit, averages only categories with ground truth in it and
        splits only the evaluated images (``params.img_ids``).
        COCO-WholeBody's types (xtcocotools') "keypoints_body",
        "keypoints_foot", "keypoints_face", "keypoints_lefthand",
        "keypoints_righthand" and "keypoints_wholebody" compare the part's
        list (``keypoints``, ``foot_kpts``, ``face_kpts``, ``lefthand_kpts``,
        ``righthand_kpts``; all five joined for the whole body) under
        xtcocotools' rules: ground truths without a visible keypoint of the
        part are ignored, results are ranked by the part's score
        (``foot_score`` ... ``wholebody_score``; ``score`` where missing,
        with a warning). Give ``params.kpt_sigmas`` one value per keypoint
        of the part (the body's default to COCO's).
    lvis : bool, default False
        The LVIS federated protocol (negative and non-exhaustive categories,
        300 detections per image, rare/common/frequent AP).
    params : Params, optional
        Evaluation parameters; the given object is copied, never changed.
        Its ``iou_type`` must agree with ``iou_type`` when both are given.

    Returns
    -------
    EvalResult
        The precision, recall and score arrays, the summary statistics and
        per-category figures.

    Raises
    ------
    ValueError
        For unusable input, naming the file and the field: a dataset
        without ``images``/``annotations``/``categories``, results that are
        not an array of detections or lack a required field, results naming
        images the ground truth lacks, files given the wrong way round,
        ``iou_type`` contradicting ``params``.
    OSError
        When a file cannot be read.

    Examples
    --------
    >>> from vantorel import evaluate
    >>> result = evaluate("data/instances_val2014_100.json",
    ...                   "data/instances_val2014_fakebbox100_results.json", "bbox")  # doctest: +SKIP
    >>> round(result.stats_as_dict()["AP"], 3)  # doctest: +SKIP
    0.505
    """
    return result_of(build_evaluator(gt, results, iou_type, lvis=lvis, params=params))
