"""``faster_coco_eval.extra.curves``: precision-recall, F1-confidence and
cumulative-error curves of an ``ExtraEval`` evaluation.

Examples
--------
>>> from vantorel.compat.faster_coco_eval.extra import Curves
>>> C = Curves(gt, dt, iouType="bbox", iou_tresh=0.5, useCats=True)  # doctest: +SKIP
>>> C.build_curve("category_id")[0]["label"]                          # doctest: +SKIP
'[category_id=1] '
"""

from __future__ import annotations

import logging
from typing import Any

import numpy as np

from ...faster import COCOeval_faster
from .draw import plot_ced_metric, plot_f1_confidence, plot_pre_rec
from .extra import ExtraEval

__all__ = ["Curves"]

logger = logging.getLogger(__name__)


class Curves(ExtraEval):
    """``ExtraEval`` with its curves (see ``ExtraEval`` for the constructor)."""

    def build_curve(self, label: str) -> list[dict[str, Any]]:
        """The precision-recall curve of each category (of all, when
        ``useCats`` is false, as category 0): "recall_list" (the recall
        axis), "precision_list", "scores" (the score reached at each
        recall), "label" ("[<label>=<category id>] "), "auc" (to 4 places) and
        "name".
        Categories without any precision (no ground truth) are left out
        with a warning.

        Raises
        ------
        AssertionError
            Before ``evaluate()``.
        """
        assert self.eval is not None, "Please run self.evaluate() before"
        precision = np.asarray(self.eval["precision"])[0, :, :, 0, -1]
        scores = np.asarray(self.eval["scores"])[0, :, :, 0, -1]
        cat_ids = list(self.cocoGt.cats) if self.useCats else [0]
        curves = []
        for k, cat_id in enumerate(cat_ids):
            precision_list = precision[:, k]
            if not np.any(precision_list >= 0):
                logger.warning("Skipping category %s: precision contains no valid values", cat_id)
                continue
            text = f"[{label}={cat_id}] " if self.useCats else ""
            auc = round(COCOeval_faster.calc_auc(self.recThrs, precision_list), 4)
            curves.append({
                "recall_list": self.recThrs,
                "precision_list": precision_list,
                "name": f"{text}auc: {auc:.3f}",
                "label": text,
                "scores": scores[:, k],
                "auc": auc,
                "category_id": cat_id,
            })  # fmt: skip
        return curves

    def plot_pre_rec(
        self,
        curves: list[dict[str, Any]] | None = None,
        label: str | None = "category_id",
        return_fig: bool | None = False,
    ) -> Any:
        """Draws the precision-recall curves (``build_curve(label)`` by
        default); the figure is returned with ``return_fig``."""
        if curves is None:
            curves = self.build_curve(label or "category_id")
        return plot_pre_rec(curves, return_fig=bool(return_fig))

    def plot_f1_confidence(
        self,
        curves: list[dict[str, Any]] | None = None,
        label: str | None = "category_id",
        return_fig: bool | None = False,
    ) -> Any:
        """Draws F1 against the score threshold for each curve."""
        if curves is None:
            curves = self.build_curve(label or "category_id")
        return plot_f1_confidence(curves, return_fig=bool(return_fig))

    def build_ced_curve(self, mae_count: int = 1000) -> list[dict[str, Any]]:
        """The cumulative error distribution of keypoint errors for each
        category: for every keypoint name and their "MEAN", "x" (error
        thresholds, from 0 up to the largest error in ``mae_count`` steps)
        and "y" (how many matched ground truths have at most that error;
        the error of a keypoint is the mean absolute difference of its
        coordinates). Ground truths count when marked "matched" with a
        "dt_id".

        Raises
        ------
        AssertionError
            Before ``evaluate()``.
        """
        assert self.eval is not None, "Please run self.evaluate() before"
        if self.iouType != "keypoints":
            logger.warning("CED curves are computed for keypoints only, not %s", self.iouType)
            return []
        curves = []
        for cat_id, category in self.cocoGt.cats.items():
            names = list(category.get("keypoints", []))
            errors = []
            for ann_id in self.cocoGt.get_ann_ids(cat_ids=[cat_id]):
                gt = self.cocoGt.anns[ann_id]
                if not gt.get("matched") or gt.get("dt_id") is None:
                    continue
                dt = self.cocoDt.anns[gt["dt_id"]]
                g = np.asarray(gt["keypoints"], dtype=float).reshape(-1, 3)[:, :2]
                d = np.asarray(dt["keypoints"], dtype=float).reshape(-1, 3)[:, :2]
                errors.append(np.abs(g - d).mean(axis=1))
            if not errors:
                continue
            table = np.array(errors)
            mae: dict[str, dict[str, list[Any]]] = {"MEAN": _ced(table.mean(axis=1), mae_count)}
            for j, name in enumerate(names[: table.shape[1]]):
                mae[name] = _ced(table[:, j], mae_count)
            curves.append({"mae": mae, "category": category, "label": f"[{category.get('name', cat_id)}]"})
        return curves

    def plot_ced_metric(
        self, curves: list[dict[str, Any]] | None = None, normalize: bool | None = True, return_fig: bool | None = False
    ) -> Any:
        """Draws the cumulative error distributions (``build_ced_curve()``
        by default), as percentages with ``normalize``."""
        if curves is None:
            curves = self.build_ced_curve()
        return plot_ced_metric(curves, normalize=bool(normalize), return_fig=bool(return_fig))


def _ced(errors: np.ndarray, count: int) -> dict[str, list[Any]]:
    """Thresholds from 0 to the largest error (each once) and how many
    errors are at most each, after the origin (0, 0)."""
    thresholds = np.unique(np.linspace(0, float(errors.max()), count))
    below = np.searchsorted(np.sort(errors), thresholds, side="right")
    return {"x": [0, *thresholds.tolist()], "y": [0, *below.tolist()]}
