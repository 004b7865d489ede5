"""faster-coco-eval's ``extra_calc`` quantities for ``COCOeval_faster``:
the matched pairs (``eval["matched"]``), the annotations' tp/fp/fn marks, the
mean IoU of the matched pairs and the mean area under the precision curves
at the first IoU threshold ("mAUC_50").

The formulas are the ones faster-coco-eval's results follow (found by
evaluating chosen precision arrays and matches with it):

- ``eval["matched"]`` maps "<detection id>_<ground truth id>" to the pair's
  IoU (OKS for keypoints) for every pair matched at any IoU threshold in any
  area range, at the last maxDets;
- mIoU is the plain sum of those values, in the dict's order, over their
  count (0.0 for none);
- each category and area range gives the area (``calc_auc``) of
  ``precision[0, :, k, a, :]`` read in memory order (recall-major, maxDets
  inner: the best precision after a point is taken over every maxDets and
  every later recall, and the steps are those of ``recThrs``); mAUC_50 is the
  plain mean, category by category, of the areas other than -1 (a cell with
  no ground truth), 0.0 for none.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

__all__ = [
    "LazyPairs",
    "auc",
    "mark_annotations",
    "matched_pairs",
    "mean_auc",
    "mean_iou",
    "pairs_source",
    "with_pairs",
]

# The marks an extra_calc accumulation writes; a new one first clears the last one's.
_DT_MARKS = ("tp", "fp", "gt_id", "iou")
_GT_MARKS = ("fn", "dt_id", "ignore")


def auc(recall: Any, precision: Any) -> float:
    """Area under a precision-recall curve: each recall step times the best
    precision at or after it (over the whole ``precision``, which may be
    longer than ``recall``), added in order in extended precision and
    rounded to 15 decimals."""
    return float(_areas(np.asarray(recall, dtype=float), np.asarray(precision, dtype=float).reshape(1, -1))[0])


def _areas(recall: np.ndarray, curves: np.ndarray) -> np.ndarray:
    """``auc`` of each row of ``curves``."""
    n = min(recall.size, curves.shape[1])
    if n < 2:
        return np.zeros(curves.shape[0])
    best = np.maximum.accumulate(curves[:, ::-1], axis=1)[:, ::-1][:, 1:n]
    # cumsum adds in order; long double is the platform's, as the reference's C++ sum is.
    steps = np.diff(recall[:n].astype(np.longdouble)) * best.astype(np.longdouble)
    return np.array([round(float(a), 15) for a in np.cumsum(steps, axis=1)[:, -1]])


def mean_auc(precision: Any, rec_thrs: Any) -> float:
    """mAUC_50 of an accumulation's ``precision`` (T, R, K, A, M)."""
    p = np.asarray(precision, dtype=float)
    if p.ndim != 5 or p.shape[0] == 0:
        return 0.0
    _, r, k, a, m = p.shape
    # One row per (category, area range), categories outer: each the cell's recall x maxDets block in memory order.
    curves = p[0].transpose(1, 2, 0, 3).reshape(k * a, r * m)
    total, count = 0.0, 0
    for value in _areas(np.asarray(rec_thrs, dtype=float), curves).tolist():
        if value != -1.0:
            total += value
            count += 1
    return total / count if count else 0.0


def mean_iou(matched: dict[str, float]) -> float:
    """The mean of ``eval["matched"]``'s values, added in its order."""
    total = 0.0
    for value in matched.values():
        total += value
    return total / len(matched) if matched else 0.0


class LazyPairs(dict[str, float]):
    """``eval["matched"]``: a dict that gathers its pairs when first read
    (they cost a per-instance pass over every threshold and area range,
    which most evaluations never look at). Any read or change fills it
    first; after that it is an ordinary dict."""

    def __init__(self, source: Callable[[], dict[str, float]]) -> None:
        super().__init__()
        self._source: Callable[[], dict[str, float]] | None = source

    def fill(self) -> LazyPairs:
        source, self._source = getattr(self, "_source", None), None  # unpickled: none
        if source is not None:
            dict.update(self, source())
        return self


def _filling(name: str) -> Any:
    method = getattr(dict, name)

    def call(self: LazyPairs, *args: Any, **kwargs: Any) -> Any:
        return method(self.fill(), *args, **kwargs)

    call.__name__ = name
    return call


for _name in ("__getitem__", "__iter__", "__len__", "__contains__", "__eq__", "__ne__", "__repr__", "__or__",
              "__setitem__", "__delitem__", "__reversed__", "keys", "values", "items", "get", "copy", "pop",
              "popitem", "setdefault", "update", "clear", "__reduce_ex__", "__sizeof__"):  # fmt: skip
    setattr(LazyPairs, _name, _filling(_name))


def with_pairs(accumulated: dict[str, Any], source: Callable[[], dict[str, float]]) -> dict[str, Any]:
    """An accumulation's ``eval`` with faster-coco-eval's keys, in its
    order: "matched" (gathered when first read) and "evaluations_size"."""
    q = accumulated["params"]
    size = len(q.imgIds) * (len(q.catIds) if q.useCats else 1) * len(q.areaRng)
    out = {k: accumulated[k] for k in ("params", "counts", "date")}
    out["matched"] = LazyPairs(source)
    out.update({k: accumulated[k] for k in ("precision", "scores", "recall")})
    out["evaluations_size"] = size
    return out


def pairs_source(ev: Any) -> Callable[[], dict[str, float]]:
    """What gathers ``eval["matched"]`` of an evaluated ``COCOeval_faster``
    later, from this evaluation's engine run (not a later one's)."""
    nat = getattr(ev, "_native", None)
    if nat is not None and not nat["replaced"]:
        return lambda: matched_pairs(ev, nat)
    return lambda: matched_pairs(ev, None)


def matched_pairs(ev: Any, nat: Any) -> dict[str, float]:
    """``eval["matched"]``: from the engine's per-instance columns (``nat``,
    the evaluator's engine state), or from ``evalImgs`` when the evaluation
    ran in Python (``nat`` None)."""
    if nat is not None:
        p = nat["params"]
        cols: list[list[np.ndarray]] = [[], [], []]
        for a in range(len(p.areaRng)):
            for t in range(len(p.iouThrs)):
                dts, _ = nat["evaluator"].per_instance(t, a, p.maxDets[-1])
                hit = np.asarray(dts["gt_id"]) != -1
                for col, name in zip(cols, ("dt_id", "gt_id", "iou"), strict=True):
                    col.append(np.asarray(dts[name])[hit])
        if not cols[0]:
            return {}
        dt, gt, iou = (np.concatenate(c) for c in cols)
        # Each pair once, where it first matched (area ranges outer, thresholds inner).
        _, first = np.unique(np.stack([dt, gt], axis=1), axis=0, return_index=True)
        first.sort()
        return {
            f"{d}_{g}": v for d, g, v in zip(dt[first].tolist(), gt[first].tolist(), iou[first].tolist(), strict=True)
        }
    out: dict[str, float] = {}
    from .faster_coco_eval.extra.extra import _pair_iou  # the Python path's IoU lookup

    for rec in ev.evalImgs:
        if rec is None:
            continue
        for row in rec["dtMatches"]:
            for d, g in zip(rec["dtIds"], row, strict=True):
                if g:
                    g = int(g) if float(g).is_integer() else g
                    key = f"{d}_{g}"
                    if key not in out:
                        out[key] = _pair_iou(ev, d, g)
    return out


def mark_annotations(ev: Any, matched: dict[str, float]) -> None:
    """Writes faster-coco-eval's marks into the evaluated datasets: each
    detection of a matched pair "tp" with "gt_id" and "iou", its ground
    truth "dt_id" (for several pairs, the last in ``matched``'s order), every
    other detection "fp", every other evaluated ground truth "fn"; and on the
    evaluated ground truths their "ignore" (the crowd flag; keypoints also
    without labelled keypoints)."""
    from .faster_coco_eval.extra.extra import _reference_ignore

    gt_anns, dt_anns = ev.cocoGt.anns, ev.cocoDt.anns
    for ann in dt_anns.values():
        for mark in _DT_MARKS:
            ann.pop(mark, None)
    for ann in gt_anns.values():
        for mark in _GT_MARKS:
            ann.pop(mark, None)
    dt_by_id = {str(k): v for k, v in dt_anns.items()}
    gt_by_id = {str(k): v for k, v in gt_anns.items()}
    for key, iou in matched.items():
        d, g = key.split("_", 1)
        dt, gt = dt_by_id.get(d), gt_by_id.get(g)
        if dt is None or gt is None:
            continue
        dt.update(tp=True, gt_id=gt["id"], iou=iou)
        gt["dt_id"] = dt["id"]
    for ann in dt_anns.values():
        if not ann.get("tp", False):
            ann["fp"] = True
    p = ev.params
    images, cats = set(p.imgIds), set(p.catIds)
    iou_type = "keypoints" if p.iouType in ("keypoints", "keypoints_crowd") else p.iouType
    for ann in gt_anns.values():
        if ann["image_id"] not in images or (p.useCats and ann["category_id"] not in cats):
            continue
        ann["ignore"] = _reference_ignore(ann, iou_type)
        if "dt_id" not in ann:
            ann["fn"] = True
