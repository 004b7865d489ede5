"""The per-image objects of the reference evaluator, computed in Python/NumPy.

These serve code that reads ``ious`` or calls ``computeIoU``,
``computeOks``, ``evaluateImg`` or ``accumulate`` on evaluation-image lists it
assembled itself (a multi-process merge). The native engine computes the same
numbers on the common path; this is the slow, exact path.
"""

from __future__ import annotations

from typing import Any, cast

import numpy as np

from .. import _zerlin

# Above this a threshold behaves as 1 - 1e-10, so an exact overlap still matches.
_IOU_CAP = 1 - 1e-10


def sorted_detections(dts: list[Any], max_det: int) -> list[Any]:
    """Detections by score, highest first (stable), cut at max_det."""
    order = np.argsort([-d["score"] for d in dts], kind="mergesort")
    return [dts[i] for i in order[:max_det]]


def iou_matrix(gts: list[Any], dts: list[Any], iou_type: str, dilation: float = 0.02) -> Any:
    """D x G IoU of box or mask geometry, or [] when either side is empty."""
    if not gts or not dts:
        return []
    crowd = [int(g.get("iscrowd", 0)) for g in gts]  # absent: not crowd, as the native route reads it
    if iou_type == "bbox":
        return _zerlin.iou([d["bbox"] for d in dts], [g["bbox"] for g in gts], crowd)
    g_rle = [g["segmentation"] for g in gts]
    d_rle = [d["segmentation"] for d in dts]
    ious = cast(np.ndarray, _zerlin.iou(d_rle, g_rle, crowd))  # both sides non-empty: an array
    if iou_type == "boundary":
        b = cast(
            np.ndarray, _zerlin.iou(_zerlin.toBoundary(d_rle, dilation), _zerlin.toBoundary(g_rle, dilation), crowd)
        )
        plain = np.array(crowd, dtype=bool)
        ious[:, ~plain] = np.fmin(ious[:, ~plain], b[:, ~plain])
    return ious


def oks_matrix(gts: list[Any], dts: list[Any], sigmas: np.ndarray, use_area: bool = True) -> Any:
    """D x G object keypoint similarity, or [] when either side is empty."""
    if not gts or not dts:
        return []
    var = (np.asarray(sigmas, dtype=np.float64) * 2) ** 2
    out = np.zeros((len(dts), len(gts)))
    d_kp = [np.asarray(d["keypoints"], dtype=np.float64) for d in dts]
    for j, g in enumerate(gts):
        kp = np.asarray(g["keypoints"], dtype=np.float64)
        xg, yg, visible = kp[0::3], kp[1::3], kp[2::3] > 0
        any_visible = bool(np.count_nonzero(visible))
        x, y, w, h = g["bbox"]
        scale = g["area"] if use_area else w * h * 0.53
        x0, x1, y0, y1 = x - w, x + w * 2, y - h, y + h * 2
        # One detection at a time, on 1-D arrays: NumPy's sum and exp take
        # the same paths as the reference's, so the values agree to the bit.
        for i, dk in enumerate(d_kp):
            xd, yd = dk[0::3], dk[1::3]
            if any_visible:
                dx, dy = xd - xg, yd - yg
            else:
                dx = np.maximum(0, x0 - xd) + np.maximum(0, xd - x1)
                dy = np.maximum(0, y0 - yd) + np.maximum(0, yd - y1)
            e = (dx**2 + dy**2) / var / (scale + np.spacing(1)) / 2
            if any_visible:
                e = e[visible]
            out[i, j] = np.sum(np.exp(-e)) / e.shape[0]
    return out


def evaluate_image(
    gts: list[Any],
    dts: list[Any],
    ious: Any,
    iou_thrs: np.ndarray,
    a_rng: list[Any],
    max_det: int,
    img_id: Any,
    cat_id: Any,
) -> dict[Any, Any] | None:
    """The reference's per-image record: greedy matching at each threshold.

    ``ious`` has the detections sorted by score as rows and ``gts`` in their
    given order as columns.
    """
    if not gts and not dts:
        return None
    lo, hi = a_rng[0], a_rng[1]
    g_ignore = np.array([1 if (g["ignore"] or g["area"] < lo or g["area"] > hi) else 0 for g in gts])
    g_order = np.argsort(g_ignore, kind="mergesort")
    gts = [gts[i] for i in g_order]
    dts = sorted_detections(dts, max_det)
    crowd = [int(g.get("iscrowd", 0)) for g in gts]  # absent: not crowd, as the native route reads it
    ious = ious[:, g_order] if len(ious) > 0 else ious
    T, G, D = len(iou_thrs), len(gts), len(dts)
    gt_ignore = g_ignore[g_order] if G else np.array([])
    gtm = np.zeros((T, G))
    dtm = np.zeros((T, D))
    dt_ig = np.zeros((T, D))
    if len(ious) > 0:
        for t, thr in enumerate(iou_thrs):
            taken = np.zeros(G, dtype=bool)
            for d, det in enumerate(dts):
                best, m = min(thr, _IOU_CAP), -1
                for g in range(G):
                    if taken[g] and not crowd[g]:
                        continue
                    if m > -1 and gt_ignore[m] == 0 and gt_ignore[g] == 1:
                        break
                    if ious[d, g] < best:
                        continue
                    best, m = ious[d, g], g
                if m == -1:
                    continue
                taken[m] = True
                dt_ig[t, d] = gt_ignore[m]
                dtm[t, d] = gts[m]["id"]
                gtm[t, m] = det["id"]
    outside = np.array([d["area"] < lo or d["area"] > hi for d in dts]).reshape((1, D))
    dt_ig = np.logical_or(dt_ig, np.logical_and(dtm == 0, np.repeat(outside, T, 0)))
    return {
        "image_id": img_id,
        "category_id": cat_id,
        "aRng": a_rng,
        "maxDet": max_det,
        "dtIds": [d["id"] for d in dts],
        "gtIds": [g["id"] for g in gts],
        "dtMatches": dtm,
        "gtMatches": gtm,
        "dtScores": [d["score"] for d in dts],
        "gtIgnore": gt_ignore,
        "dtIgnore": dt_ig,
    }


def _native_accumulation(
    eval_imgs: list[Any], p: Any, selection: tuple[list[int], list[int], list[int], list[Any]], n_img: int, n_area: int
) -> tuple[np.ndarray, np.ndarray, np.ndarray] | None:
    """The records accumulated natively, or None where the native reader
    does not take them (then NumPy decides, and raises what the reference
    raises)."""
    k_list, a_list, i_list, m_list = selection
    if not isinstance(eval_imgs, list) or not k_list or not a_list:
        return None
    shape = (len(p.iouThrs), len(p.catIds) if p.useCats else 1, len(p.areaRng), len(p.maxDets))
    ks, as_ = np.meshgrid(np.arange(len(k_list)), np.arange(len(a_list)), indexing="ij")
    bases = (np.asarray(k_list)[ks] * n_area + np.asarray(a_list)[as_]) * n_img
    positions = bases.reshape(-1, 1) + np.asarray(i_list, dtype=np.int64).reshape(1, -1)
    cells = np.stack([ks.ravel(), as_.ravel()], axis=1)
    try:
        caps = [int(m) for m in m_list]
        return _zerlin.accumulate_records(eval_imgs, positions, cells, [float(r) for r in p.recThrs], caps, shape)
    except (TypeError, ValueError, OverflowError):
        return None


def accumulate_records(eval_imgs: list[Any], p: Any, pe: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Precision, recall and scores from evaluation-image records.

    ``pe`` are the parameters the records were made with (their layout:
    category, area range, image); ``p`` selects what to accumulate. A
    detection counts as matched when its ``dtMatches`` entry is non-zero, the
    record format's only signal (so a match to a ground truth of id 0 is not
    seen here, as it is not by the reference).
    """
    T, R = len(p.iouThrs), len(p.recThrs)
    K = len(p.catIds) if p.useCats else 1
    A, M = len(p.areaRng), len(p.maxDets)
    precision = -np.ones((T, R, K, A, M))
    recall = -np.ones((T, K, A, M))
    scores = -np.ones((T, R, K, A, M))
    set_k = set(pe.catIds if pe.useCats else [-1])
    set_a = set(map(tuple, pe.areaRng))
    set_m = set(pe.maxDets)
    set_i = set(pe.imgIds)
    cats = p.catIds if p.useCats else [-1]
    k_list = [n for n, k in enumerate(cats) if k in set_k]
    m_list = [m for m in p.maxDets if m in set_m]
    a_list = [n for n, a in enumerate(map(tuple, p.areaRng)) if a in set_a]
    i_list = [n for n, i in enumerate(p.imgIds) if i in set_i]
    n_img, n_area = len(pe.imgIds), len(pe.areaRng)
    native = _native_accumulation(eval_imgs, p, (k_list, a_list, i_list, m_list), n_img, n_area)
    if native is not None:
        return native
    all_images = i_list == list(range(n_img))
    rec_thrs = np.asarray(p.recThrs)
    for k, k0 in enumerate(k_list):
        for a, a0 in enumerate(a_list):
            base = (k0 * n_area + a0) * n_img
            if all_images:
                recs = [e for e in eval_imgs[base : base + n_img] if e is not None]
            else:
                recs = [e for e in (eval_imgs[base + i] for i in i_list) if e is not None]
            if not recs:
                continue
            gt_ig = np.concatenate([e["gtIgnore"] for e in recs])
            npig = np.count_nonzero(gt_ig == 0)
            if npig == 0:
                continue
            # Each record's detections once, with their rank in their image;
            # a maxDets limit keeps the ranks below it, in the same order as
            # concatenating each record's first max_det.
            all_s = np.concatenate([np.asarray(e["dtScores"], dtype=float) for e in recs])
            all_dtm = np.concatenate([e["dtMatches"] for e in recs], axis=1)
            all_ig = np.concatenate([e["dtIgnore"] for e in recs], axis=1)
            lengths = np.array([len(e["dtScores"]) for e in recs])
            starts = np.cumsum(lengths) - lengths
            rank = np.arange(len(all_s)) - np.repeat(starts, lengths)
            for m, max_det in enumerate(m_list):
                keep = rank < max_det
                s = all_s[keep]
                order = np.argsort(-s, kind="mergesort")
                s_sorted = s[order]
                dtm = all_dtm[:, keep][:, order]
                dt_ig = all_ig[:, keep][:, order]
                tps = np.logical_and(dtm, np.logical_not(dt_ig))
                fps = np.logical_and(np.logical_not(dtm), np.logical_not(dt_ig))
                tp_sum = np.cumsum(tps, axis=1).astype(float)
                fp_sum = np.cumsum(fps, axis=1).astype(float)
                for t in range(min(T, tp_sum.shape[0])):
                    tp, fp = tp_sum[t], fp_sum[t]
                    nd = len(tp)
                    rc = tp / npig
                    pr = tp / (fp + tp + np.spacing(1))
                    recall[t, k, a, m] = rc[-1] if nd else 0
                    q, ss = np.zeros(R), np.zeros(R)
                    if nd:
                        pr = np.maximum.accumulate(pr[::-1])[::-1]
                        inds = np.searchsorted(rc, rec_thrs, side="left")
                        bad = np.nonzero(inds >= nd)[0]
                        stop = bad[0] if len(bad) else R  # reached thresholds up to the first miss
                        q[:stop] = pr[inds[:stop]]
                        ss[:stop] = s_sorted[inds[:stop]]
                    precision[t, :, k, a, m] = q
                    scores[t, :, k, a, m] = ss
    return precision, recall, scores
