"""Confusion matrix across categories at one IoU and score threshold."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from ..params import Params
from ._kernels import greedy_match, group_ranks
from ._session import Session, open_session


def confusion_matrix(
    gt: str | os.PathLike[str] | dict[str, Any],
    results: Any,
    iou_type: str | None = None,
    *,
    iou_thr: float = 0.5,
    score_thr: float = 0.0,
    params: Params | None = None,
    session: Session | None = None,
) -> dict[str, Any]:
    """Counts of ground-truth classes against predicted classes.

    Only detections with score >= ``score_thr`` take part (the largest
    detection cap applies first, as in the evaluation). Two steps:

    1. The evaluation's own matching at ``iou_thr`` (area "all"): a detection
       matched to a ground truth of its category adds one to the diagonal.
       Dropping low scores never changes these matches (matching is greedy
       from the highest score down).
    2. The detections still unmatched are matched, greedily in score order
       per image and across categories, to the still unmatched ground truths
       of other categories with IoU >= ``iou_thr`` (highest IoU first):
       each such pair adds one at (ground-truth class, detected class).

    Returns a dict with ``"matrix"``, int64 of shape (K + 1, K + 1): row i
    holds the ground truths of category i and column j the detections of
    category j; the last row counts detections left unmatched
    ("background") and the last column ground truths left unmatched
    ("missed"). Every non-ignored ground truth is counted once in its row,
    every counted detection once in its column. Crowd regions are neither:
    crowd ground truths have no row and detections on them of their own
    category are not counted. ``"labels"`` names the rows and columns
    (category names, then "background" for the last row / "missed" for the
    last column are both given as the last label ``"background/missed"``),
    ``"category_ids"`` gives the K ids.

    Examples
    --------
    >>> cm = confusion_matrix("gt.json", "dets.json", score_thr=0.3)  # doctest: +SKIP
    >>> cm["matrix"][:-1].sum(1)          # ground truths per class  # doctest: +SKIP
    """
    if not 0 < iou_thr <= 1:
        raise ValueError(f"iou_thr must be in (0, 1]; got {iou_thr}")
    s = session or open_session(
        gt, results, iou_type, params=params, extra_thrs=(iou_thr,), need_pairs=True, prefetch=((iou_thr, 0),)
    )
    dts, gts = s.instances(iou_thr, 0)
    k_count = len(s.cat_ids)
    counted = ~dts["ignore"] & (dts["score"] >= score_thr)
    d_cat = dts["cat"]
    g_cat = gts["cat"]
    matrix = np.zeros((k_count + 1, k_count + 1), dtype=np.int64)

    tp = counted & (dts["gt_id"] >= 0)
    np.add.at(matrix, (d_cat[tp], d_cat[tp]), 1)
    taken_rows = np.zeros(len(s.gt.ids), dtype=bool)
    taken_rows[dts["gt_row"][tp]] = True

    free_dt = np.flatnonzero(counted & (dts["gt_id"] < 0))
    free_gt = np.flatnonzero(~gts["ignore"] & ~taken_rows[gts["row"]])
    match = _cross_class(s, dts, gts, free_dt, free_gt, d_cat, g_cat, iou_thr)
    hit = match >= 0
    np.add.at(matrix, (g_cat[free_gt[match[hit]]], d_cat[free_dt[hit]]), 1)
    np.add.at(matrix, (np.full(int((~hit).sum()), k_count), d_cat[free_dt[~hit]]), 1)
    missed = np.ones(len(free_gt), dtype=bool)
    missed[match[hit]] = False
    np.add.at(matrix, (g_cat[free_gt[missed]], np.full(int(missed.sum()), k_count)), 1)

    names = [s.prepared.cat_names.get(int(c), str(int(c))) for c in s.cat_ids]
    return {
        "matrix": matrix,
        "labels": names + ["none"],
        "category_ids": s.cat_ids,
        "iou_thr": float(iou_thr),
        "score_thr": float(score_thr),
    }


def _cross_class(
    s: Session,
    dts: dict[str, Any],
    gts: dict[str, Any],
    free_dt: np.ndarray,
    free_gt: np.ndarray,
    d_cat: np.ndarray,
    g_cat: np.ndarray,
    iou_thr: float,
) -> np.ndarray:
    """For each free detection, the position in ``free_gt`` of the other-class
    ground truth it takes greedily, or -1."""
    dt_pos = np.full(len(s.dt.ids), -1, dtype=np.int64)
    dt_pos[dts["row"][free_dt]] = np.arange(len(free_dt))
    gt_pos = np.full(len(s.gt.ids), -1, dtype=np.int64)
    gt_pos[gts["row"][free_gt]] = np.arange(len(free_gt))
    pd, pg, iou = s.pairs()
    ok = (dt_pos[pd] >= 0) & (gt_pos[pg] >= 0) & (iou >= min(iou_thr, 0.9999999999))
    di, gj, iou = dt_pos[pd[ok]], gt_pos[pg[ok]], iou[ok]
    other = d_cat[free_dt[di]] != g_cat[free_gt[gj]]
    di, gj, iou = di[other], gj[other], iou[other]
    rank = group_ranks(dts["image_id"][free_dt], dts["score"][free_dt], dts["row"][free_dt])
    # Equal IoUs go to the ground truth later in the dataset: rank pairs by (iou, row).
    sort = np.lexsort((gts["row"][free_gt][gj], iou))
    pos = np.empty(len(sort), dtype=np.float64)
    pos[sort] = np.arange(len(sort))
    return greedy_match(rank, di, gj, pos, np.zeros(len(free_gt), dtype=bool), len(free_dt), len(free_gt))
