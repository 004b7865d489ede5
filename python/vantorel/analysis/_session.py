"""One loaded evaluation that the analyses share: the native evaluator, its
run and per-instance verdicts (each computed once), and both sides as
column arrays.

Everything here works on columns. The cross-category questions (which other
class a false positive overlaps, greedy matching against relabelled ground
truth) are answered by pairing detections with the ground truths of their
image in NumPy and by a greedy matcher that steps through score ranks, each
step vectorised over all images at once.
"""

from __future__ import annotations

import os
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from operator import itemgetter
from typing import Any, cast

import numpy as np

from .. import _zerlin
from .._lazy import build_lock
from ..evaluation import Prepared, build_evaluator, resolve_params
from ..loading import LoadedGroundTruth, ground_truth_side, naming_file, results_side
from ..params import Params
from ..results import EvalResult

# Analyses that pair detections with ground truths of other categories.
PAIRED_TYPES = ("bbox", "segm")
EPS = np.spacing(1.0)  # the accumulation's epsilon in tp / (tp + fp + eps)


@dataclass
class Columns:
    """One side as arrays, row i being annotation i of that side."""

    image_id: np.ndarray
    category_id: np.ndarray
    ids: np.ndarray
    bbox: np.ndarray
    area: np.ndarray
    crowd: np.ndarray
    score: np.ndarray
    segm: list[Any] | None = None  # masks as RLE dicts, for "segm" pairing only


@dataclass
class Session:
    """A prepared evaluation with the extra IoU thresholds the analyses need.

    ``base_t`` is the number of the caller's own thresholds; the ones after
    them were appended for the analyses and are cut from every public array.
    """

    prepared: Prepared
    base_params: Params
    gt: Columns
    dt: Columns
    supercategory: dict[int, Any]
    _run: dict[str, Any] | None = None
    _pairs: tuple[np.ndarray, np.ndarray, np.ndarray] | None = None
    _boxes: tuple[list[np.ndarray], list[np.ndarray]] | None = None
    # Engine calls started in the background at opening (they release the
    # interpreter lock, so they overlap with the Python-side column work).
    _pending: dict[Any, Future[Any]] = field(default_factory=dict)
    _instances: dict[tuple[float, int], tuple[dict[str, Any], dict[str, Any]]] = field(default_factory=dict)

    @property
    def params(self) -> Params:
        return self.prepared.params

    @property
    def base_t(self) -> int:
        return len(self.base_params.iou_thrs)

    @property
    def cat_ids(self) -> np.ndarray:
        return np.asarray(self.params.cat_ids, dtype=np.int64)

    # The members below are made on first use, under the session's lock, so
    # that analyses in several threads share one computation of each.

    def run(self) -> dict[str, Any]:
        if self._run is None:
            with build_lock(self):
                if self._run is None:
                    pending = self._pending.pop("run", None)
                    self._run = pending.result() if pending is not None else self.prepared.evaluator.run()
        return self._run

    def t_index(self, thr: float) -> int:
        hits = np.flatnonzero(np.asarray(self.params.iou_thrs, dtype=np.float64) == thr)
        if hits.size == 0:
            raise ValueError(f"IoU threshold {thr} was not prepared for this analysis")
        return int(hits[0])

    def a_index(self, area: str) -> int:
        labels = list(self.params.area_labels)
        if area not in labels:
            raise ValueError(f"area must be one of {', '.join(labels)}; got {area!r}")
        return labels.index(area)

    def instances(self, thr: float, a_idx: int = 0) -> tuple[dict[str, Any], dict[str, Any]]:
        """Verdicts at one IoU threshold and area range, with the largest cap,
        plus row positions into the two column sets ("row")."""
        key = (thr, a_idx)
        if key in self._instances:
            return self._instances[key]
        with build_lock(self):
            return self._make_instances(key, thr, a_idx)

    def _make_instances(
        self, key: tuple[float, int], thr: float, a_idx: int
    ) -> tuple[dict[str, Any], dict[str, Any]]:
        if key not in self._instances:
            pending = self._pending.pop(key, None)
            if pending is not None:
                dts, gts = pending.result()
            else:
                dts, gts = self.prepared.evaluator.per_instance(self.t_index(thr), a_idx, int(self.params.max_dets[-1]))
            dts["row"] = self.dt_rows(dts["dt_id"])
            gts["row"] = self.gt_rows(gts["gt_id"])
            dts["cat"] = self.category_positions(dts["category_id"])
            gts["cat"] = self.category_positions(gts["category_id"])
            matched = dts["gt_id"] >= 0
            dts["gt_row"] = np.full(len(matched), -1, dtype=np.int64)
            dts["gt_row"][matched] = self.gt_rows(dts["gt_id"][matched])
            self._instances[key] = (dts, gts)
        return self._instances[key]

    def pairs(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Every overlapping (detection row, ground-truth row) pair of one
        image (IoU > 0), by detection row, with its IoU; computed once for
        all analyses, in slices of detections so the many disjoint pairs
        never pile up."""
        if self._pairs is not None:
            return self._pairs
        with build_lock(self):
            return self._make_pairs()

    def _make_pairs(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        if self._pairs is None:
            parts: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []
            step = 1 << 15
            boxes = self.dt.bbox
            for lo in range(0, max(len(self.dt.ids), 1), step):
                d, g = image_pairs(self.dt.image_id[lo : lo + step], self.gt.image_id)
                # Pairs come in detection order: repeat each box, no gather.
                counts = np.bincount(d, minlength=len(boxes[lo : lo + step]))
                det = [np.repeat(boxes[lo : lo + step, i], counts) for i in range(4)]
                d += lo
                iou = pair_iou(self, d, g, None if self.params.iou_type == "segm" else det)
                keep = iou > 0
                parts.append((d[keep], g[keep], iou[keep]))
            self._pairs = (
                np.concatenate([p[0] for p in parts]),
                np.concatenate([p[1] for p in parts]),
                np.concatenate([p[2] for p in parts]),
            )
        return self._pairs

    def dt_rows(self, ids: np.ndarray) -> np.ndarray:
        n = len(self.dt.ids)
        if n and self.dt.ids[0] == 1 and self.dt.ids[-1] == n and np.all(np.diff(self.dt.ids) == 1):
            return ids - 1  # ids are row positions + 1, as loaded results get them
        return _positions(self.dt.ids, ids, "detection")

    def gt_rows(self, ids: np.ndarray) -> np.ndarray:
        return _positions(self.gt.ids, ids, "ground-truth")

    def eval_result(self) -> EvalResult:
        """The plain evaluation's result, with the caller's thresholds only."""
        res = self.run()
        t = self.base_t
        cut = {"precision": res["precision"][:t], "recall": res["recall"][:t], "scores": res["scores"][:t]}
        return EvalResult.from_run(
            cut,
            self.base_params_resolved(),
            cat_names=self.prepared.cat_names,
            timings=self.prepared.evaluator.timings(),
        )

    def base_params_resolved(self) -> Params:
        p = self.params.copy()
        p.iou_thrs = np.asarray(self.base_params.iou_thrs, dtype=np.float64)
        return p

    def image_positions(self, image_ids: np.ndarray) -> np.ndarray:
        """Position of each image id in the evaluated image list (the
        accumulation's tie order)."""
        img = np.asarray(self.params.img_ids, dtype=np.int64)
        order = np.argsort(img, kind="stable")
        pos = np.searchsorted(img[order], image_ids)
        return order[np.minimum(pos, len(img) - 1)]

    def category_positions(self, category_ids: np.ndarray) -> np.ndarray:
        cats = self.cat_ids
        order = np.argsort(cats, kind="stable")
        pos = np.searchsorted(cats[order], category_ids)
        return order[np.minimum(pos, max(len(cats) - 1, 0))]


def _positions(ids: np.ndarray, wanted: np.ndarray, side: str) -> np.ndarray:
    order = np.argsort(ids, kind="stable")
    pos = np.searchsorted(ids[order], wanted)
    pos = np.minimum(pos, max(len(ids) - 1, 0))
    rows = order[pos] if len(ids) else pos
    if wanted.size and not np.array_equal(ids[rows], wanted):
        raise ValueError(f"{side} ids reported by the evaluation are not unique in the input")
    return rows.astype(np.int64)


def open_session(
    gt: str | os.PathLike[str] | dict[str, Any],
    results: Any,
    iou_type: str | None = None,
    *,
    params: Params | None = None,
    extra_thrs: tuple[float, ...] = (0.5,),
    need_pairs: bool = False,
    prefetch: tuple[tuple[float, int], ...] = (),
) -> Session:
    """Loads both sides once and prepares an evaluator whose thresholds are
    the caller's plus ``extra_thrs``. Its run, and the per-instance verdicts
    of each (IoU threshold, area index) in ``prefetch``, start at once in the
    background. Pass the result as ``session=`` to several analyses so that
    they share one loading and evaluation.

    Examples
    --------
    >>> s = open_session("gt.json", "dets.json", extra_thrs=(0.5,), need_pairs=True)  # doctest: +SKIP
    >>> error_breakdown("gt.json", "dets.json", session=s)["ap50"]  # doctest: +SKIP
    """
    base = resolve_params(iou_type, False, params)
    iou_type = base.iou_type
    if need_pairs and iou_type not in PAIRED_TYPES:
        raise ValueError(f"this analysis supports iou_type {' or '.join(PAIRED_TYPES)}; got {iou_type!r}")
    if not base.use_cats:
        raise ValueError("the analyses are per category: params.use_cats must be true")
    p = base.copy()
    thrs = list(map(float, p.iou_thrs))
    thrs += [t for t in dict.fromkeys(map(float, extra_thrs)) if t not in thrs]
    p.iou_thrs = np.asarray(thrs, dtype=np.float64)
    with naming_file("ground-truth", gt):
        dataset, gt_side = ground_truth_side(gt, iou_type, False)
    with naming_file("results", results):
        dt_side = results_side(results)
    loaded: Any = LoadedGroundTruth(dataset, gt_side)  # read once, not again from the path
    prepared = build_evaluator(loaded, dt_side, params=p)
    if prepared.ids is not None:
        raise ValueError("the analyses need integer image and category ids")
    ev, cap = prepared.evaluator, int(p.max_dets[-1])
    pending: dict[Any, Future[Any]] = {}
    pool = ThreadPoolExecutor(max_workers=1)
    pending["run"] = pool.submit(ev.run)
    for thr, a_idx in prefetch:
        t_idx = int(np.flatnonzero(p.iou_thrs == thr)[0])
        pending[(float(thr), a_idx)] = pool.submit(ev.per_instance, t_idx, a_idx, cap)
    pool.shutdown(wait=False)  # the queued calls still run; nothing waits here
    compact = isinstance(gt_side, _zerlin.CompactBbox)
    gt_anns = gt_side.annotations() if compact else gt_side
    gt_rows = gt_side.array_rows() if compact else None
    gt_cols = _gt_columns(gt_anns, dataset, iou_type if need_pairs else "bbox", gt_rows)
    dt_cols = _dt_columns(dt_side, iou_type if need_pairs else "bbox")
    supercat = {c["id"]: c.get("supercategory") for c in dataset.get("categories", [])}
    return Session(prepared, base, gt_cols, dt_cols, supercat, _pending=pending)


def _gt_columns(anns: list[Any], dataset: dict[str, Any], iou_type: str, rows: np.ndarray | None = None) -> Columns:
    """Ground-truth columns; ``rows`` (a compact handle's array_rows, in the
    same order) spares reading image, category and box from the dicts."""
    n = len(anns)

    def get(key: str, default: Any) -> list[Any]:
        return [a.get(key, default) for a in anns]

    if rows is not None:
        image_id, category_id = rows[:, 0].astype(np.int64), rows[:, 6].astype(np.int64)
        bbox = np.ascontiguousarray(rows[:, 1:5])
    else:
        image_id = np.array([a["image_id"] for a in anns], dtype=np.int64)
        category_id = np.array([a["category_id"] for a in anns], dtype=np.int64)
        bbox = np.array(get("bbox", [0.0, 0.0, 0.0, 0.0]), dtype=np.float64).reshape(n, 4)
    cols = Columns(
        image_id=image_id,
        category_id=category_id,
        ids=np.array(get("id", 0), dtype=np.int64),
        bbox=bbox,
        area=np.array(get("area", 0.0), dtype=np.float64),
        crowd=np.array(get("iscrowd", 0), dtype=bool),
        score=np.zeros(n),
    )
    if iou_type == "segm":
        sizes = {img["id"]: (img["height"], img["width"]) for img in dataset["images"] if "height" in img}
        cols.segm = [_as_rle(a.get("segmentation"), *sizes.get(a["image_id"], (0, 0))) for a in anns]
    return cols


def _as_rle(segm: Any, h: int, w: int) -> dict[str, Any]:
    """A ground-truth segmentation as one compressed RLE (polygons merged)."""
    if isinstance(segm, list):
        parts: Any = _zerlin.frPyObjects(segm if segm else [[0, 0, 0, 0, 0, 0]], h, w)
        rle = _zerlin.merge(parts) if segm else parts[0]
    elif isinstance(segm, dict) and isinstance(segm.get("counts"), list):
        rle = _zerlin.frPyObjects(segm, h, w)
    else:
        rle = segm
    return cast(dict[str, Any], rle)


def _dt_columns(side: Any, iou_type: str) -> Columns:
    if isinstance(side, _zerlin.CompactBbox) and not side.from_array:
        # Masks, and areas other than the boxes', come with the dicts.
        if iou_type == "segm" or _zerlin.results_shape(side) != "boxes":
            side = side.annotations()
    if isinstance(side, _zerlin.CompactBbox):
        rows = side.array_rows()
        n = rows.shape[0]
        bbox = np.ascontiguousarray(rows[:, 1:5])
        return Columns(
            image_id=rows[:, 0].astype(np.int64),
            category_id=rows[:, 6].astype(np.int64),
            ids=np.arange(1, n + 1, dtype=np.int64),
            bbox=bbox,
            area=bbox[:, 2] * bbox[:, 3],
            crowd=np.zeros(n, dtype=bool),
            score=rows[:, 5].copy(),
        )
    # Loaded dicts already exist; take each field through C-level iteration.
    n = len(side)
    def col(key: str, dtype: Any) -> np.ndarray:
        return np.fromiter(map(itemgetter(key), side), dtype=dtype, count=n)

    ids = np.array([d.get("id", i + 1) for i, d in enumerate(side)], dtype=np.int64)
    bbox = np.array(list(map(itemgetter("bbox"), side)), dtype=np.float64).reshape(n, 4)
    area = np.array([d.get("area", b[2] * b[3]) for d, b in zip(side, bbox)], dtype=np.float64)
    return Columns(
        image_id=col("image_id", np.int64),
        category_id=col("category_id", np.int64),
        ids=ids,
        bbox=bbox,
        area=area,
        crowd=np.zeros(n, dtype=bool),
        score=col("score", np.float64),
        segm=list(map(itemgetter("segmentation"), side)) if iou_type == "segm" else None,
    )


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
    if len(c) and 0 <= c.min() and c.max() < 1 << 16:
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
