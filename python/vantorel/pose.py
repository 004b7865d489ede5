"""COCO-WholeBody's six evaluations (body, foot, face, hands, whole body)
from one reading of the files, as pose benchmarks report them."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any, cast

import numpy as np

from .evaluation import evaluate
from .loading import LoadedGroundTruth, ground_truth_side, naming_file, results_side
from .params import WHOLEBODY_PARTS, WHOLEBODY_TYPES, Params
from .results import EvalResult

# Where each part's keypoints lie in the whole-body list of 133 (body, foot,
# face, left hand, right hand, in that order).
_PART_OFFSETS = {"keypoints": 0, "foot_kpts": 17, "face_kpts": 23, "lefthand_kpts": 91, "righthand_kpts": 112}

__all__ = ["evaluate_wholebody"]


def evaluate_wholebody(
    gt: str | os.PathLike[str] | dict[str, Any],
    results: Any,
    sigmas: Sequence[float] | np.ndarray,
    *,
    use_area: bool = True,
    iou_types: Sequence[str] = WHOLEBODY_TYPES,
) -> dict[str, EvalResult]:
    """Evaluates COCO-WholeBody results in each of ``iou_types``, reading the
    files once.

    Each type is ``evaluate(gt, results, type)`` with the part's slice of
    ``sigmas`` (its xtcocotools evaluation; see ``vantorel.evaluate``).

    Parameters
    ----------
    gt : str, os.PathLike or dict
        The ground-truth dataset (``keypoints``, ``foot_kpts``, ``face_kpts``,
        ``lefthand_kpts``, ``righthand_kpts`` per person).
    results : str, os.PathLike or list of dict
        The results, with the same lists and the part scores
        (``foot_score`` ... ``wholebody_score``).
    sigmas : array-like of 133 floats
        The whole body's OKS constants, in the order of the joined lists.
    use_area : bool, default True
        Scale the similarity by the ground truth's area (else 0.53 x its box area).
    iou_types : sequence of str
        Whole-body types to evaluate (all six by default).

    Returns
    -------
    dict of str to EvalResult
        One result per type, in the order of ``iou_types``.

    Examples
    --------
    >>> from vantorel import evaluate_wholebody
    >>> out = evaluate_wholebody("wholebody_val.json", "results.json", sigmas)  # doctest: +SKIP
    >>> out["keypoints_wholebody"].stats_as_dict()["AP"]                        # doctest: +SKIP
    0.582
    """
    sig = np.asarray(sigmas, dtype=np.float64)
    if sig.shape != (133,):
        raise ValueError(f"sigmas must hold the whole body's 133 values; got shape {sig.shape}")
    for t in iou_types:
        if t not in WHOLEBODY_PARTS:
            raise ValueError(f"iou_types must be COCO-WholeBody types ({', '.join(WHOLEBODY_TYPES)}); got {t!r}")
    with naming_file("ground-truth", gt):
        dataset, gt_side = ground_truth_side(gt, "keypoints")
    loaded = LoadedGroundTruth(dataset, gt_side)
    with naming_file("results", results):
        side = results_side(results)
    out = {}
    for t in iou_types:
        lists = WHOLEBODY_PARTS[t][0]
        first = _PART_OFFSETS[lists[0]]
        p = Params.for_type(t)
        p.use_area = use_area
        p.kpt_sigmas = sig[first : first + WHOLEBODY_PARTS[t][2]].copy()
        out[t] = evaluate(cast(Any, loaded), side, params=p)
    return out
