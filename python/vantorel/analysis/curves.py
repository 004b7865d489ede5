"""Precision-recall curves and F1 as a function of the score threshold."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from ..params import Params
from ._kernels import accumulation_order
from ._session import Session, open_session


def pr_curves(
    gt: str | os.PathLike[str] | dict[str, Any],
    results: Any,
    iou_type: str | None = None,
    *,
    params: Params | None = None,
    session: Session | None = None,
) -> dict[str, Any]:
    """Interpolated precision-recall curves of the evaluation.

    Returns a dict of plain arrays: ``"precision"`` and ``"scores"`` of shape
    (T, R, K, A, M) (IoU threshold, recall threshold, category, area range,
    detection cap), ``"recall"`` (T, K, A, M), and the axes ``"iou_thrs"``,
    ``"rec_thrs"``, ``"category_ids"``, ``"area_labels"``, ``"max_dets"``.
    ``precision[t, :, k, a, m]`` is the curve of one category: the highest
    precision at any recall at least ``rec_thrs[r]``, as the COCO protocol
    samples it; -1 marks categories without ground truth in that area range.

    Examples
    --------
    >>> curves = pr_curves("gt.json", "dets.json")            # doctest: +SKIP
    >>> curves["precision"][0, :, :, 0, -1].shape              # doctest: +SKIP
    (101, 80)
    """
    s = session or open_session(gt, results, iou_type, params=params)
    res = s.run()
    t = s.base_t
    p = s.params
    return {
        "precision": res["precision"][:t],
        "recall": res["recall"][:t],
        "scores": res["scores"][:t],
        "iou_thrs": np.asarray(p.iou_thrs[:t], dtype=np.float64),
        "rec_thrs": np.asarray(p.rec_thrs, dtype=np.float64),
        "category_ids": s.cat_ids,
        "area_labels": list(p.area_labels),
        "max_dets": list(p.max_dets),
    }


def f1_curve(
    gt: str | os.PathLike[str] | dict[str, Any],
    results: Any,
    iou_type: str | None = None,
    *,
    iou_thr: float = 0.5,
    scores: np.ndarray | None = None,
    params: Params | None = None,
    session: Session | None = None,
) -> dict[str, Any]:
    """Precision, recall and F1 of the detections kept at each score threshold.

    Matching is the evaluation's at IoU ``iou_thr``, area range "all" and the
    largest detection cap. A detection is kept at threshold s when its score
    is >= s; true positives are kept detections matched to a non-ignored
    ground truth, false positives kept detections matched to nothing;
    detections the evaluation ignores (on crowd regions) count neither way.
    Matches do not change when lower-scoring detections are dropped, since
    matching is greedy from the highest score down.

    With tp, fp and npig (non-ignored ground truths): precision = tp / (tp + fp),
    recall = tp / npig, F1 = 2 tp / (2 tp + fp + (npig - tp)); NaN where the
    denominator is zero.

    Returns a dict: ``"scores"`` (S,) the thresholds (default 101 steps from
    0 to 1), ``"category_ids"`` (K,), ``"precision"``, ``"recall"``, ``"f1"``
    of shape (K, S), ``"overall"`` with the same three over all categories
    pooled (S,), and ``"best"``: the best F1 over every distinct score (not
    only the grid) per category (``"threshold"``, ``"f1"``, ``"precision"``,
    ``"recall"``, each (K,); threshold NaN where nothing is kept at best)
    and overall (``"overall"``: the same as floats, one threshold for all
    categories). At equal F1 the higher threshold wins.

    Examples
    --------
    >>> f1 = f1_curve("gt.json", "dets.json", iou_thr=0.5)     # doctest: +SKIP
    >>> f1["best"]["overall"]["threshold"]                      # doctest: +SKIP
    0.43
    """
    s = session or open_session(gt, results, iou_type, params=params, extra_thrs=(iou_thr,), prefetch=((iou_thr, 0),))
    grid = np.linspace(0.0, 1.0, 101) if scores is None else np.sort(np.asarray(scores, dtype=np.float64))
    cat, score, tp, npig = _counted(s, iou_thr)
    k_count = len(npig)
    tp_at = _kept_counts(cat, score, tp, grid, k_count)
    fp_at = _kept_counts(cat, score, ~tp, grid, k_count)
    per_cat = _ratios(tp_at, fp_at, npig[:, None])
    overall = _ratios(tp_at.sum(0), fp_at.sum(0), np.int64(npig.sum()))
    best = _best_per_category(cat, score, tp, npig)
    best_all = _best_per_category(np.zeros_like(cat), score, tp, np.array([npig.sum()]))
    best["overall"] = {key: float(v[0]) for key, v in best_all.items()}
    return {
        "scores": grid,
        "category_ids": s.cat_ids,
        "iou_thr": float(iou_thr),
        "precision": per_cat[0],
        "recall": per_cat[1],
        "f1": per_cat[2],
        "overall": {"precision": overall[0], "recall": overall[1], "f1": overall[2]},
        "best": best,
    }


def _counted(s: Session, iou_thr: float) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Counted detections (category position, score, true positive) and the
    non-ignored ground truths per category."""
    dts, gts = s.instances(iou_thr, 0)
    keep = ~dts["ignore"]
    cat = dts["cat"][keep]
    npig = np.bincount(gts["cat"][~gts["ignore"]], minlength=len(s.cat_ids))
    return cat, dts["score"][keep], dts["gt_id"][keep] >= 0, npig.astype(np.int64)


def _kept_counts(cat: np.ndarray, score: np.ndarray, flag: np.ndarray, grid: np.ndarray, k_count: int) -> np.ndarray:
    """(K, S): flagged detections with score >= each grid threshold."""
    s_count = len(grid)
    # Number of thresholds each score passes; NaN scores pass none.
    passes = np.where(np.isnan(score), 0, np.searchsorted(grid, score, "right"))
    hist = np.bincount(cat[flag] * (s_count + 1) + passes[flag], minlength=k_count * (s_count + 1))
    hist = hist.reshape(k_count, s_count + 1)
    # A detection passing j thresholds is kept at thresholds 0 .. j-1.
    return np.cumsum(hist[:, ::-1], axis=1)[:, ::-1][:, 1:]


def _ratios(tp: np.ndarray, fp: np.ndarray, npig: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    tp, fp = tp.astype(np.float64), fp.astype(np.float64)
    npig = np.asarray(npig, dtype=np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        precision = np.where(tp + fp > 0, tp / (tp + fp), np.nan)
        recall = np.where(npig > 0, tp / npig, np.nan)
        denom = tp + fp + npig
        f1 = np.where(denom > 0, 2 * tp / denom, np.nan)
    return precision, recall, f1


def _best_per_category(cat: np.ndarray, score: np.ndarray, tp: np.ndarray, npig: np.ndarray) -> dict[str, Any]:
    """Best F1 over the cut points between distinct scores, per category."""
    k_count = len(npig)
    finite = ~np.isnan(score)
    cat, score, tp = cat[finite], score[finite], tp[finite]
    order = accumulation_order(cat, score, np.arange(len(cat)))
    c, sc, t = cat[order], score[order], tp[order]
    tp_cum, fp_cum = np.cumsum(t), np.cumsum(~t)
    seg = np.searchsorted(c, np.arange(k_count))
    tp_cum = tp_cum - np.concatenate(([0], tp_cum))[seg][c]
    fp_cum = fp_cum - np.concatenate(([0], fp_cum))[seg][c]
    # A cut is valid after the last detection of each run of equal scores.
    cut = np.append((c[1:] != c[:-1]) | (sc[1:] != sc[:-1]), True) if len(c) else np.zeros(0, dtype=bool)
    c, sc, tpc, fpc = c[cut], sc[cut], tp_cum[cut].astype(float), fp_cum[cut].astype(float)
    n = npig[c].astype(float)
    f1 = np.where(tpc + fpc + n > 0, 2 * tpc / np.maximum(tpc + fpc + n, 1), 0.0)
    threshold = np.full(k_count, np.nan)
    best_f1 = np.where(npig > 0, 0.0, np.nan)
    precision = np.full(k_count, np.nan)
    recall = np.where(npig > 0, 0.0, np.nan)
    if len(c):
        # Highest F1 per category; among equal ones the first (highest threshold).
        pick = np.lexsort((np.arange(len(c)), -f1, c))
        first = pick[np.append(True, c[pick][1:] != c[pick][:-1])]
        k = c[first]
        better = f1[first] > 0
        k, first = k[better], first[better]
        threshold[k] = sc[first]
        best_f1[k] = f1[first]
        precision[k] = tpc[first] / (tpc[first] + fpc[first])
        recall[k] = tpc[first] / n[first]
    return {"threshold": threshold, "f1": best_f1, "precision": precision, "recall": recall}
