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
from .._conventions import segmentation_rle
from .._lazy import build_lock
from ..evaluation import Prepared, build_evaluator, resolve_params
from ..loading import LoadedGroundTruth, ground_truth_side, naming_file, results_side
from ..params import Params
from ..results import EvalResult
from ._kernels import image_pairs, pair_iou

# Analyses that pair detections with ground truths of other categories.
PAIRED_TYPES = ("bbox", "segm")


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

    def _make_instances(self, key: tuple[float, int], thr: float, a_idx: int) -> tuple[dict[str, Any], dict[str, Any]]:
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
        dataset, gt_side = ground_truth_side(gt, iou_type)
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
    dt_cols = _dt_columns(dt_side, iou_type if need_pairs else "bbox", _image_sizes(dataset))
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
        sizes = _image_sizes(dataset)
        cols.segm = [_as_rle(a.get("segmentation"), *sizes.get(a["image_id"], (0, 0))) for a in anns]
    return cols


def _as_rle(segm: Any, h: int, w: int) -> dict[str, Any]:
    """A ground-truth segmentation as one compressed RLE (polygons merged)."""
    if isinstance(segm, list) and not segm:  # no polygon: an empty mask of the image's size
        parts: Any = _zerlin.frPyObjects([[0, 0, 0, 0, 0, 0]], h, w)
        return cast(dict[str, Any], parts[0])
    if isinstance(segm, list) or (isinstance(segm, dict) and isinstance(segm.get("counts"), list)):
        return cast(dict[str, Any], segmentation_rle(segm, h, w))
    return cast(dict[str, Any], segm)


def _image_sizes(dataset: dict[str, Any]) -> dict[Any, tuple[int, int]]:
    return {img["id"]: (img["height"], img["width"]) for img in dataset["images"] if "height" in img}


def _dt_columns(side: Any, iou_type: str, sizes: dict[Any, tuple[int, int]]) -> Columns:
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
        segm=_dt_masks(side, bbox, sizes) if iou_type == "segm" else None,
    )


def _dt_masks(side: list[Any], bbox: np.ndarray, sizes: dict[Any, tuple[int, int]]) -> list[dict[str, Any]]:
    """The detections' masks as RLEs: polygons at their image's size, and a
    box result's outline where it has no segmentation, as the evaluation
    takes them."""
    return [
        _as_rle(d["segmentation"] if "segmentation" in d else _box_polygon(b), *sizes.get(d["image_id"], (0, 0)))
        for d, b in zip(side, bbox.tolist(), strict=True)
    ]


def _box_polygon(box: list[float]) -> list[list[float]]:
    """A box result's mask in a segm evaluation: its outline, as the evaluation takes it."""
    x, y, w, h = box
    return [[x, y, x, y + h, x + w, y + h, x + w, y]]
