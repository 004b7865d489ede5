"""The array kernels of the analyses: pairing detections with the ground
truths of their image, IoU of such pairs, a greedy matcher that steps through
score ranks (each step vectorised over all images at once), and the
accumulation's ordering, interpolated precision and mean AP.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from .. import _zerlin
from .._lazy import build_lock

if TYPE_CHECKING:
    from ._session import Session

EPS = np.spacing(1.0)  # the accumulation's epsilon in tp / (tp + fp + eps)


# ---------------------------------------------------------------- pairing


def image_pairs(dt_image: np.ndarray, gt_image: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """All (detection, ground truth) index pairs sharing an image."""
    order = np.argsort(gt_image, kind="stable")
    sorted_img = gt_image[order]
    lo = np.searchsorted(sorted_img, dt_image, "left")
    hi = np.searchsorted(sorted_img, dt_image, "right")
    counts = hi - lo
    di = np.repeat(np.arange(len(dt_image), dtype=np.int32), counts)
    starts = np.repeat(lo - np.cumsum(counts) + counts, counts)
    gj = order[np.arange(len(di)) + starts] if len(di) else np.zeros(0, dtype=np.int32)
    return di, gj.astype(np.int32)


def pair_iou(s: Session, d: np.ndarray, g: np.ndarray, det_boxes: list[np.ndarray] | None = None) -> np.ndarray:
    """IoU of detection row d[i] with ground-truth row g[i] (crowd ground
    truths: intersection over the detection's area, as the evaluation
    computes it). ``det_boxes`` may give the detections' x, y, w, h per pair
    already gathered."""
    if s.params.iou_type == "segm":
        return _pair_iou_masks(s, d, g)
    if s._boxes is None:
        with build_lock(s):
            if s._boxes is None:
                s._boxes = (
                    [np.ascontiguousarray(s.dt.bbox[:, i]) for i in range(4)],
                    [np.ascontiguousarray(s.gt.bbox[:, i]) for i in range(4)],
                )
    dcols, gcols = s._boxes
    dx, dy, dw, dh = det_boxes if det_boxes is not None else [c[d] for c in dcols]
    gx, gy, gw, gh = (c[g] for c in gcols)
    iw = np.minimum(dx + dw, gx + gw) - np.maximum(dx, gx)
    ih = np.minimum(dy + dh, gy + gh) - np.maximum(dy, gy)
    inter = np.maximum(iw, 0.0) * np.maximum(ih, 0.0)
    da = dw * dh
    union = np.where(s.gt.crowd[g], da, da + gw * gh - inter)
    with np.errstate(invalid="ignore", divide="ignore"):
        out: np.ndarray = inter / union
    out[~(union > 0)] = 0.0
    return out


def _pair_iou_masks(s: Session, d: np.ndarray, g: np.ndarray) -> np.ndarray:
    """Mask IoU per pair, one native call per image."""
    out = np.zeros(len(d))
    if not len(d):
        return out
    img = s.dt.image_id[d]
    order = np.argsort(img, kind="stable")
    bounds = np.flatnonzero(np.diff(img[order])) + 1
    dt_segm, gt_segm = s.dt.segm, s.gt.segm
    assert dt_segm is not None and gt_segm is not None
    for chunk in np.split(order, bounds):
        du, dinv = np.unique(d[chunk], return_inverse=True)
        gu, ginv = np.unique(g[chunk], return_inverse=True)
        m = _zerlin.iou([dt_segm[i] for i in du], [gt_segm[j] for j in gu], [int(c) for c in s.gt.crowd[gu]])
        out[chunk] = np.asarray(m).reshape(len(du), len(gu))[dinv, ginv]
    return out


def segment_best(seg_key: np.ndarray, value: np.ndarray, tie: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    """Per key 0..n-1 (``seg_key`` sorted): the largest value (0 where none)
    and the ``tie`` of the pair holding it (the largest among equals; -1)."""
    best = np.zeros(n)
    who = np.full(n, -1, dtype=np.int64)
    if not len(seg_key):
        return best, who
    starts = np.flatnonzero(np.append(True, seg_key[1:] != seg_key[:-1]))
    top = np.maximum.reduceat(value, starts)
    seg = np.repeat(np.arange(len(starts)), np.diff(np.append(starts, len(seg_key))))
    holder = np.maximum.reduceat(np.where(value == top[seg], tie, -1), starts)
    best[seg_key[starts]] = top
    who[seg_key[starts]] = holder
    return best, who


def greedy_match(
    det_group_rank: np.ndarray,
    pair_det: np.ndarray,
    pair_gt: np.ndarray,
    pair_iou: np.ndarray,
    gt_reusable: np.ndarray,
    n_det: int,
    n_gt: int,
) -> np.ndarray:
    """The evaluation's greedy matching over candidate pairs (all already at
    or above the threshold): detections in score order within their group
    each take the free ground truth of highest IoU (at equal IoU the higher
    ground-truth index), reusable (crowd) ground truths never becoming
    taken. A ground-truth index must belong to one group only.

    One step per score rank, vectorised over groups: a group has one
    detection per rank, so a step has no conflicts.
    """
    taken = np.zeros(n_gt, dtype=bool)
    match = np.full(n_det, -1, dtype=np.int64)
    if not len(pair_det):
        return match
    rank = det_group_rank[pair_det]
    order = np.lexsort((pair_gt, pair_iou, pair_det, rank))
    rank, pd, pg = rank[order], pair_det[order], pair_gt[order]
    bounds = np.searchsorted(rank, np.arange(rank[-1] + 2))
    for r in range(int(rank[-1]) + 1):
        lo, hi = bounds[r], bounds[r + 1]
        if lo == hi:
            continue
        rd, rg = pd[lo:hi], pg[lo:hi]
        free = ~taken[rg]
        rd, rg = rd[free], rg[free]
        if not len(rd):
            continue
        last = np.append(rd[1:] != rd[:-1], True)
        match[rd[last]] = rg[last]
        keep = rg[last]
        taken[keep[~gt_reusable[keep]]] = True
    return match


def group_ranks(groups: np.ndarray, scores: np.ndarray, tie: np.ndarray) -> np.ndarray:
    """Rank of each item within its group by score, highest first (ties by ``tie``)."""
    n = len(groups)
    _, dense = np.unique(groups, return_inverse=True)
    order = accumulation_order(dense.reshape(-1), scores, tie)
    g = dense.reshape(-1)[order]
    start = np.flatnonzero(np.append(True, g[1:] != g[:-1])) if n else np.zeros(0, dtype=np.int64)
    first = np.repeat(start, np.diff(np.append(start, n)))
    rank = np.empty(n, dtype=np.int64)
    rank[order] = np.arange(n) - first
    return rank


def interpolated_precision(
    cat: np.ndarray,
    score: np.ndarray,
    tie: np.ndarray,
    tp: np.ndarray,
    npig: np.ndarray,
    rec_thrs: np.ndarray,
    order: np.ndarray | None = None,
) -> np.ndarray:
    """The evaluation's interpolated precision, (K, R), from one row per
    counted detection (ignored ones left out): category position, score,
    tie order and whether it is a true positive; ``npig`` is the number of
    non-ignored ground truths per category. Categories without any are -1.
    ``order``, when given, lists the rows to count already in accumulation
    order (by category, then score descending, then tie), sparing the sort.
    """
    k_count, r_count = len(npig), len(rec_thrs)
    out = np.full((k_count, r_count), -1.0)
    if order is None:
        order = accumulation_order(cat, score, tie)
    c, t = cat[order], tp[order]
    tp_cum = np.cumsum(t)
    fp_cum = np.cumsum(~t)
    seg_start = np.searchsorted(c, np.arange(k_count))
    before = np.concatenate(([0], tp_cum))[seg_start], np.concatenate(([0], fp_cum))[seg_start]
    tp_cum = tp_cum - before[0][c]
    fp_cum = fp_cum - before[1][c]
    at = np.flatnonzero(t)
    i, fp_i, tc = tp_cum[at].astype(np.float64), fp_cum[at].astype(np.float64), c[at]
    prec = i / (fp_i + i + EPS)
    env = _segment_suffix_max(prec, tc, k_count)
    tp_count = np.bincount(tc, minlength=k_count)
    tp_first = np.concatenate(([0], np.cumsum(tp_count)))[:-1]
    need = required_counts(npig, rec_thrs)
    reach = (need <= tp_count[:, None]) & (tp_count[:, None] > 0)
    idx = tp_first[:, None] + np.maximum(need, 1) - 1
    val = np.where(reach, env[np.minimum(idx, max(len(env) - 1, 0))] if len(env) else 0.0, 0.0)
    has = npig > 0
    out[has] = val[has]
    return out


def score_order(score: np.ndarray, tie: np.ndarray) -> np.ndarray:
    """Rows by score descending (NaN last), then ``tie``."""
    if len(tie) > 1 and not np.all(tie[1:] >= tie[:-1]):
        return np.lexsort((tie, -score))
    return np.argsort(-score, kind="stable")


def accumulation_order(
    cat: np.ndarray, score: np.ndarray, tie: np.ndarray, by_score: np.ndarray | None = None
) -> np.ndarray:
    """Rows by category position, then score descending (NaN last), then
    ``tie``: a stable sort by category of the rows in score order (a radix
    sort while positions fit 16 bits). ``by_score`` reuses a score_order."""
    if by_score is None:
        by_score = score_order(score, tie)
    c = cat[by_score]
    if len(c) and c.min() >= 0 and c.max() < 1 << 16:
        c = c.astype(np.uint16)
    return by_score[np.argsort(c, kind="stable")]


def _segment_suffix_max(values: np.ndarray, seg: np.ndarray, k_count: int) -> np.ndarray:
    """Running maximum from the right within each (sorted) segment, exact:
    values are ranked to integers so segment offsets lose no precision."""
    if not len(values):
        return values
    uniq, rank = np.unique(values, return_inverse=True)
    width = len(uniq) + 1
    key = rank.astype(np.int64) + (k_count - 1 - seg.astype(np.int64)) * width
    best = np.maximum.accumulate(key[::-1])[::-1]
    return uniq[best - (k_count - 1 - seg.astype(np.int64)) * width]


def required_counts(npig: np.ndarray, rec_thrs: np.ndarray) -> np.ndarray:
    """Per category and recall threshold, the smallest true-positive count i
    with threshold <= i / npig (npig + 1 when none), made non-decreasing."""
    n = npig.astype(np.float64)[:, None]
    r = np.asarray(rec_thrs, dtype=np.float64)[None, :]
    with np.errstate(invalid="ignore", divide="ignore"):
        i = np.ceil(r * n)
        i = np.where(np.isfinite(i), i, n + 1)
        i = np.clip(i, 0, n + 1)
        for _ in range(2):  # float rounding of r * n can miss by one either way
            i = np.where((i <= n) & (i / n < r), i + 1, i)
            i = np.where((i >= 1) & ((i - 1) / n >= r), i - 1, i)
        i = np.where((i <= n) & ~(r <= i / n), n + 1, i)
    i = np.where(n > 0, i, n + 1)
    return np.maximum.accumulate(i.astype(np.int64), axis=1)


def mean_ap(precision: np.ndarray) -> tuple[np.ndarray, float]:
    """Per-category AP (NaN without ground truth) and their mean."""
    has = precision[:, 0] >= 0 if precision.size else np.zeros(len(precision), dtype=bool)
    per_cat = np.where(has, precision.mean(axis=1) if precision.shape[1] else np.nan, np.nan)
    return per_cat, float(np.mean(per_cat[has])) if has.any() else float("nan")
