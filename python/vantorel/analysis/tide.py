"""The TIDE error breakdown (Bolya et al., "TIDE: A General Toolbox for
Identifying Object Detection Errors", ECCV 2020)."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from ..params import Params
from ._kernels import accumulation_order, interpolated_precision, score_order, segment_best
from ._session import Session, open_session

ERROR_TYPES = ("cls", "loc", "both", "dupe", "bkg", "miss")
_CODE = {name: i for i, name in enumerate(ERROR_TYPES)}
_TP = -1


def error_breakdown(
    gt: str | os.PathLike[str] | dict[str, Any],
    results: Any,
    iou_type: str | None = None,
    *,
    pos_thr: float = 0.5,
    bg_thr: float = 0.1,
    categories: str = "coco",
    params: Params | None = None,
    session: Session | None = None,
) -> dict[str, Any]:
    """TIDE's error types and the AP gained by fixing each one.

    Detections are matched as the evaluation matches them at IoU ``pos_thr``
    (area "all", the largest detection cap; detections on crowd regions are
    ignored). Each false positive then gets one error type from its largest
    IoU with a non-crowd ground truth of its own category (``same``) and of
    any other category (``other``), checked in this order (the paper's
    definitions overlap; this is the precedence tidecv applies):

    - ``loc``: bg_thr <= same < pos_thr;
    - ``cls``: other >= pos_thr;
    - ``dupe``: same >= pos_thr (that ground truth was taken by a higher score);
    - ``both``: other >= bg_thr;
    - ``bkg``: anything else.

    ``miss`` are the non-ignored ground truths left unmatched that are not
    the target (the best-overlapping ground truth) of a ``cls`` or ``loc``
    error.

    Fixing one type, the others left as they are, and re-computing AP at
    ``pos_thr`` with the evaluation's interpolation: a ``cls`` error becomes
    a true positive of its target's category and a ``loc`` error a true
    positive of its target, unless the target was already matched (or
    another fixed detection of higher score took it), in which case it is
    removed; ``both``, ``dupe`` and ``bkg`` errors are removed; missed
    ground truths leave the count. The dAP of a type is the mean AP after
    the fix minus the mean AP before, each averaged (as the evaluation does)
    over the categories that have ground truth in that evaluation.

    ``categories="tide"`` averages as the tidecv package does instead: a
    category without ground truth but with detections counts with AP 0
    (the COCO rule, the default, leaves it out, so ``"ap50"`` equals the
    evaluation's AP at ``pos_thr``).

    Returns a dict: ``"ap50"`` the mean AP at ``pos_thr`` and ``"dAP"``
    keyed ``cls``, ``loc``, ``both``, ``dupe``, ``bkg``, ``miss``, both in AP
    points (percent) as TIDE prints them; ``"counts"`` (errors per type),
    ``"special"`` (dAP of removing all false positives, ``false_pos``, and
    all false negatives, ``false_neg``), and the thresholds.

    Examples
    --------
    >>> tide = error_breakdown("gt.json", "dets.json")         # doctest: +SKIP
    >>> tide["dAP"]["cls"], tide["ap50"]                        # doctest: +SKIP
    """
    if not 0 < bg_thr <= pos_thr <= 1:
        raise ValueError(f"thresholds must satisfy 0 < bg_thr <= pos_thr <= 1; got {bg_thr}, {pos_thr}")
    if categories not in ("coco", "tide"):
        raise ValueError(f"categories must be 'coco' or 'tide'; got {categories!r}")
    s = session or open_session(
        gt, results, iou_type, params=params, extra_thrs=(pos_thr,), need_pairs=True, prefetch=((pos_thr, 0),)
    )
    dts, gts = s.instances(pos_thr, 0)
    counted = ~dts["ignore"]
    d_cat = dts["cat"]
    g_cat = gts["cat"]
    kind, target = _classify(s, dts, gts, counted, d_cat, g_cat, pos_thr, bg_thr)
    g_live = ~gts["ignore"]
    used = np.zeros(len(s.gt.ids), dtype=bool)
    used[gts["row"][gts["matched"] & g_live]] = True
    # Ground-truth rows of this setting, by dataset row.
    cat_of_row = np.full(len(s.gt.ids), -1, dtype=np.int64)
    cat_of_row[gts["row"]] = g_cat
    npig = np.bincount(g_cat[g_live], minlength=len(s.cat_ids)).astype(np.int64)

    # Rows come by category and image, each image's in score order: the
    # accumulation's order among equal scores.
    tie = np.arange(len(dts["score"]))
    rows = {"cat": d_cat[counted], "score": dts["score"][counted], "tie": tie[counted]}
    kind_c, target_c = kind[counted], target[counted]
    rec = np.asarray(s.params.rec_thrs, dtype=np.float64)

    by_score = score_order(rows["score"], rows["tie"])
    base_order = accumulation_order(rows["cat"], rows["score"], rows["tie"], by_score)

    def ap(keep: np.ndarray, cat: np.ndarray, tp: np.ndarray, n: np.ndarray) -> np.ndarray:
        order = base_order if cat is rows["cat"] else accumulation_order(cat, rows["score"], rows["tie"], by_score)
        prec = interpolated_precision(cat, rows["score"], rows["tie"], tp, n, rec, order=order[keep[order]])
        per_cat = np.where(prec[:, 0] >= 0, prec.mean(axis=1) if prec.shape[1] else 0.0, np.nan)
        if categories == "tide":
            with_dets = np.bincount(cat[keep], minlength=len(n)) > 0
            per_cat = np.where(np.isnan(per_cat) & with_dets, 0.0, per_cat)
        return per_cat

    base_tp = kind_c == _TP
    base = ap(np.ones(len(kind_c), dtype=bool), rows["cat"], base_tp, npig)
    valid = ~np.isnan(base)

    base_map = float(np.mean(base[valid])) if valid.any() else float("nan")

    def gain(fixed: np.ndarray) -> float:
        # Each mean AP over its own categories with ground truth, as the
        # evaluation averages (a fix can leave a category without any).
        has = ~np.isnan(fixed)
        return (float(np.mean(fixed[has])) - base_map) * 100 if has.any() and valid.any() else 0.0

    dap = {}
    for name in ("cls", "loc"):
        mine = kind_c == _CODE[name]
        promoted = mine & _first_claims(target_c, rows["score"], rows["tie"], mine, used)
        keep = ~mine | promoted
        cat = rows["cat"].copy()
        cat[promoted] = cat_of_row[target_c[promoted]]
        dap[name] = gain(ap(keep, cat, base_tp | promoted, npig))
    for name in ("both", "dupe", "bkg"):
        dap[name] = gain(ap(kind_c != _CODE[name], rows["cat"], base_tp, npig))
    covered = np.zeros(len(s.gt.ids), dtype=bool)
    covered[target[(kind == _CODE["cls"]) | (kind == _CODE["loc"])]] = True
    unmatched = g_live & ~gts["matched"]
    missed = unmatched & ~covered[gts["row"]]
    miss_n = npig - np.bincount(g_cat[missed], minlength=len(npig))
    dap["miss"] = gain(ap(np.ones(len(kind_c), dtype=bool), rows["cat"], base_tp, miss_n))
    fn_n = npig - np.bincount(g_cat[unmatched], minlength=len(npig))
    special = {
        "false_pos": gain(ap(base_tp, rows["cat"], base_tp, npig)),
        "false_neg": gain(ap(np.ones(len(kind_c), dtype=bool), rows["cat"], base_tp, fn_n)),
    }
    counts = {name: int((kind_c == _CODE[name]).sum()) for name in ERROR_TYPES[:-1]}
    counts["miss"] = int(missed.sum())
    return {
        "ap50": base_map * 100,
        "dAP": dap,
        "counts": counts,
        "special": special,
        "pos_thr": float(pos_thr),
        "bg_thr": float(bg_thr),
    }


def _classify(
    s: Session,
    dts: dict[str, Any],
    gts: dict[str, Any],
    counted: np.ndarray,
    d_cat: np.ndarray,
    g_cat: np.ndarray,
    pos_thr: float,
    bg_thr: float,
) -> tuple[np.ndarray, np.ndarray]:
    """Per detection row: its error code (-1 for a true positive or an
    ignored detection) and the dataset row of its target ground truth."""
    n = len(dts["score"])
    kind = np.full(n, _TP, dtype=np.int64)
    target = np.full(n, -1, dtype=np.int64)
    fp = np.flatnonzero(counted & (dts["gt_id"] < 0))
    is_fp = np.zeros(len(s.dt.ids), dtype=bool)
    is_fp[dts["row"][fp]] = True
    solid = np.zeros(len(s.gt.ids), dtype=bool)
    solid[gts["row"]] = True
    solid &= ~s.gt.crowd
    pd, pg, iou = s.pairs()
    keep = is_fp[pd] & solid[pg]
    pd, pg, iou = pd[keep], pg[keep], iou[keep]
    same = s.dt.category_id[pd] == s.gt.category_id[pg]
    n_rows = len(s.dt.ids)
    s_iou, s_gt = segment_best(pd, np.where(same, iou, -1.0), np.where(same, pg, -1), n_rows)
    o_iou, o_gt = segment_best(pd, np.where(same, -1.0, iou), np.where(same, -1, pg), n_rows)
    rows = dts["row"][fp]
    s_iou, s_gt, o_iou, o_gt = np.maximum(s_iou[rows], 0), s_gt[rows], np.maximum(o_iou[rows], 0), o_gt[rows]
    code = np.select(
        [(s_iou >= bg_thr) & (s_iou < pos_thr), o_iou >= pos_thr, s_iou >= pos_thr, o_iou >= bg_thr],
        [_CODE["loc"], _CODE["cls"], _CODE["dupe"], _CODE["both"]],
        _CODE["bkg"],
    )
    kind[fp] = code
    target[fp] = np.where(code == _CODE["cls"], o_gt, np.where(code == _CODE["loc"], s_gt, -1))
    return kind, target


def _first_claims(
    target: np.ndarray, score: np.ndarray, tie: np.ndarray, mine: np.ndarray, used: np.ndarray
) -> np.ndarray:
    """Which of the fixed detections get their target: the highest-scoring
    one per target, and only when no true positive holds it already."""
    out = np.zeros(len(target), dtype=bool)
    idx = np.flatnonzero(mine & (target >= 0))
    idx = idx[~used[target[idx]]]
    if not len(idx):
        return out
    order = idx[np.lexsort((tie[idx], -score[idx], target[idx]))]
    first = np.append(True, target[order][1:] != target[order][:-1])
    out[order[first]] = True
    return out
