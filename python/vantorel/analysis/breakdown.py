"""The COCO analysis breakdown: PR curves with error sources removed one
after another (C75, C50, Loc, Sim, Oth, BG, FN)."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from ..params import Params
from ._kernels import accumulation_order, greedy_match, interpolated_precision
from ._session import Session, open_session

LABELS = ("C75", "C50", "Loc", "Sim", "Oth", "BG", "FN")
LOC_IOU = 0.1


def coco_breakdown(
    gt: str | os.PathLike[str] | dict[str, Any],
    results: Any,
    iou_type: str | None = None,
    *,
    area: str = "all",
    params: Params | None = None,
    session: Session | None = None,
) -> dict[str, Any]:
    """PR curves of the COCO analysis, each removing one more error source.

    For one area range and the largest detection cap:

    - ``C75``, ``C50``: the evaluation's curves at IoU 0.75 and 0.5;
    - ``Loc``: at IoU 0.1, so localisation errors no longer count (duplicate
      detections still do); all later settings use IoU 0.1 too;
    - ``Sim``: as Loc, with the ground truths of other categories of the
      same supercategory added to each category as ignored regions: a
      detection that overlaps one (and has no true match) is neither a true
      nor a false positive. Such added ground truths keep their crowd flag,
      and as any non-crowd ground truth each absorbs at most one detection,
      matched greedily in score order. A category without a supercategory
      is its own, so its Sim curve equals Loc;
    - ``Oth``: as Sim with the ground truths of all other categories added;
    - ``BG``: as Oth with every remaining false positive removed (precision
      1 up to the recall reached, 0 after);
    - ``FN``: every error removed: precision 1 at every recall.

    Returns a dict: ``"labels"`` (the seven names above), ``"precision"``
    (7, R, K) sampled at ``"rec_thrs"`` as the evaluation samples it (-1 for
    categories without ground truth in that area range), ``"ap"`` (7,) the
    mean over categories with ground truth and ``"ap_per_category"``
    (7, K, NaN without ground truth), ``"category_ids"``,
    ``"supercategories"`` (per category, None when absent) and ``"area"``.

    Examples
    --------
    >>> b = coco_breakdown("gt.json", "dets.json")              # doctest: +SKIP
    >>> dict(zip(b["labels"], b["ap"].round(3)))                 # doctest: +SKIP
    """
    s = session or open_session(
        gt, results, iou_type, params=params, extra_thrs=(0.75, 0.5, LOC_IOU), need_pairs=True, prefetch=((0.5, 0),)
    )
    a = s.a_index(area)
    res = s.run()
    rec = np.asarray(s.params.rec_thrs, dtype=np.float64)
    k_count, r_count = len(s.cat_ids), len(rec)
    prec = np.full((len(LABELS), r_count, k_count), -1.0)
    for i, thr in enumerate((0.75, 0.5, LOC_IOU)):
        prec[i] = res["precision"][s.t_index(thr), :, :, a, -1]
    supers = [s.supercategory.get(int(c)) for c in s.cat_ids]
    tp, fps, npig, rows = _removable(s, a, supers)

    order = accumulation_order(*rows)

    def curve(keep: np.ndarray) -> np.ndarray:
        return interpolated_precision(rows[0], rows[1], rows[2], tp, npig, rec, order=order[keep[order]]).T

    prec[3], prec[4], prec[5] = curve(tp | fps["sim"]), curve(tp | fps["oth"]), curve(tp)
    prec[6] = np.where(npig > 0, 1.0, -1.0)[None, :]
    has = npig > 0
    per_cat = np.where(has[None, :], prec.mean(axis=1), np.nan)
    ap = np.array([float(np.mean(row[has])) if has.any() else float("nan") for row in per_cat])
    return {
        "labels": list(LABELS),
        "precision": prec,
        "rec_thrs": rec,
        "ap": ap,
        "ap_per_category": per_cat,
        "category_ids": s.cat_ids,
        "supercategories": supers,
        "area": area,
    }


def _greedy(rank: np.ndarray, d: np.ndarray, g: np.ndarray, v: np.ndarray, s: Session, n_det: int) -> np.ndarray:
    """Greedy matching of candidate pairs (each ground truth in one group);
    equal IoUs go to the ground truth later in the dataset."""
    order = np.lexsort((g, v))
    pos = np.empty(len(order))
    pos[order] = np.arange(len(order))
    return greedy_match(rank, d, g, pos, s.gt.crowd, n_det, len(s.gt.ids))


def _removable(s: Session, a: int, supers: list[Any]) -> tuple[Any, ...]:
    """Status of every detection at IoU 0.1 with other categories' ground
    truths added as ignored regions: true positives (unchanged by the
    additions, which are ignored), and the false positives left under the
    Loc (no additions: the evaluation's own result), Sim and Oth rules;
    plus non-ignored counts and (category, score, tie)."""
    # The verdicts at IoU 0.5 give the rows (the same detections and ground
    # truths at every threshold); matching at 0.1 is redone here from the
    # shared pairs, in the evaluation's order, which also spares an engine pass.
    dts, gts = s.instances(0.5, 0)
    lo, hi = (float(v) for v in s.params.area_rng[a])
    d_cat = dts["cat"]
    g_rows = gts["row"]
    area_out = (s.gt.area < lo) | (s.gt.area > hi)
    ignored_gt = np.zeros(len(s.gt.ids), dtype=bool)
    ignored_gt[g_rows] = s.gt.crowd[g_rows] | area_out[g_rows]
    gt_cat = np.full(len(s.gt.ids), -1, dtype=np.int64)
    gt_cat[g_rows] = gts["cat"]
    npig = np.bincount(gts["cat"][~ignored_gt[g_rows]], minlength=len(s.cat_ids)).astype(np.int64)
    area = s.dt.area[dts["row"]]
    out = (area < lo) | (area > hi)
    tie = np.arange(len(d_cat))
    rows = (d_cat, dts["score"], tie)

    # Rows come by category, then image, each image's in matching order: a
    # detection's rank in its (category, image) group is its place in the run.
    image = dts["image_id"]
    change = np.append(True, (d_cat[1:] != d_cat[:-1]) | (image[1:] != image[:-1]))
    group_all = np.cumsum(change) if len(change) else np.zeros(0, dtype=np.int64)
    start_all = np.flatnonzero(change)
    rank_all = np.arange(len(d_cat)) - np.repeat(start_all, np.diff(np.append(start_all, len(d_cat))))

    dt_pos = np.full(len(s.dt.ids), -1, dtype=np.int64)
    dt_pos[dts["row"]] = np.arange(len(d_cat))
    pd, pg, iou = s.pairs()
    near = (dt_pos[pd] >= 0) & (gt_cat[pg] >= 0) & (iou >= LOC_IOU)
    pi, gj, iou = dt_pos[pd[near]], pg[near].astype(np.int64), iou[near]
    qc, gc = d_cat[pi], gt_cat[gj]
    # Non-ignored ground truths of its own category come first, as in the walk.
    live = (qc == gc) & ~ignored_gt[gj]
    matched_live = _greedy(rank_all, pi[live], gj[live], iou[live], s, len(d_cat)) >= 0

    # Detections without a non-ignored match compete for the ignored regions.
    queue = np.flatnonzero(~matched_live)
    queue_pos = np.full(len(d_cat), -1, dtype=np.int64)
    queue_pos[queue] = np.arange(len(queue))
    keep = ~live & (queue_pos[pi] >= 0)
    di, gj, iou, qc, gc = queue_pos[pi[keep]], gj[keep], iou[keep], qc[keep], gc[keep]
    own_ignored = (qc == gc) & ignored_gt[gj]
    names: dict[Any, int] = {}
    sup = np.array([names.setdefault(x, len(names)) if x is not None else -1 - k for k, x in enumerate(supers)])
    other = qc != gc
    same_super = other & (sup[qc] == sup[gc]) if len(qc) else np.zeros(0, dtype=bool)
    cand = own_ignored | other
    di, gj, iou, same_super, own_ignored = di[cand], gj[cand], iou[cand], same_super[cand], own_ignored[cand]
    group = group_all[queue]
    first = np.flatnonzero(np.append(True, group[1:] != group[:-1])) if len(group) else np.zeros(0, dtype=np.int64)
    rank = np.arange(len(queue)) - np.repeat(first, np.diff(np.append(first, len(queue))))
    n_gt = len(s.gt.ids) + 1

    def leftover(mask: np.ndarray) -> np.ndarray:
        d, g, v = di[mask], gj[mask], iou[mask]
        # Each category sees its own copy of an added ground truth.
        key = group[d] * n_gt + g
        virt, inv = np.unique(key, return_inverse=True)
        order = np.lexsort((g, v))
        pos = np.empty(len(order))
        pos[order] = np.arange(len(order))
        match = greedy_match(rank, d, inv, pos, s.gt.crowd[virt % n_gt], len(queue), len(virt))
        fp = np.zeros(len(d_cat), dtype=bool)
        fp[queue[(match < 0) & ~out[queue]]] = True
        return fp

    fps = {
        "loc": leftover(own_ignored),
        "sim": leftover(own_ignored | same_super),
        "oth": leftover(np.ones(len(di), dtype=bool)),
    }
    return matched_live, fps, npig, rows
