"""``faster_coco_eval.extra.display``: ``PreviewResults``, images with their
true/false positives and false negatives, and the confusion matrix.

Examples
--------
>>> from vantorel.compat.faster_coco_eval.extra import PreviewResults
>>> P = PreviewResults(gt, dt, iouType="segm", iou_tresh=0.5)  # doctest: +SKIP
>>> P.compute_confusion_matrix().shape                          # doctest: +SKIP
(4, 6)
"""

from __future__ import annotations

import logging
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from .draw import display_image, display_matrix
from .extra import ExtraEval

__all__ = ["PreviewResults"]

logger = logging.getLogger(__name__)


class PreviewResults(ExtraEval):
    """``ExtraEval`` with its previews (see ``ExtraEval`` for the constructor)."""

    def display_image(
        self,
        image_id: int = 1,
        display_fp: bool = True,
        display_fn: bool = True,
        display_tp: bool = True,
        display_gt: bool = True,
        show_false_only: bool = False,
        data_folder: str | None = None,
        categories: list[Any] | None = None,
        gt_ann_ids: set[Any] | None = None,
        dt_ann_ids: set[Any] | None = None,
        return_fig: bool = False,
    ) -> Any:
        """Draws one image with its marked annotations (see ``draw.display_image``)."""
        return display_image(
            self.cocoGt, self.cocoDt, image_id=image_id, iouType=self.iouType, display_fp=display_fp,
            display_fn=display_fn, display_tp=display_tp, display_gt=display_gt, show_false_only=show_false_only,
            data_folder=data_folder, categories=categories, gt_ann_ids=gt_ann_ids, dt_ann_ids=dt_ann_ids,
            return_fig=return_fig,
        )  # fmt: skip

    def display_tp_fp_fn(
        self,
        image_ids: Sequence[Any] = ("all",),
        display_fp: bool = True,
        display_fn: bool = True,
        display_tp: bool = True,
        display_gt: bool = False,
        show_false_only: bool = False,
        data_folder: str | None = None,
        categories: list[Any] | None = None,
    ) -> None:
        """Draws each of the given images (every one for ``["all"]``); with
        ``show_false_only``, only those with a false positive or negative."""
        ids: Sequence[Any] = list(self.cocoGt.imgs) if list(image_ids) == ["all"] else image_ids
        if show_false_only:
            wrong = set(self.fp_image_ann_map) | set(self.fn_image_ann_map)
            ids = [i for i in ids if i in wrong]
        for image_id in ids:
            self.display_image(
                image_id, display_fp=display_fp, display_fn=display_fn, display_tp=display_tp,
                display_gt=display_gt, show_false_only=show_false_only, data_folder=data_folder,
                categories=categories,
            )  # fmt: skip

    def _compute_confusion_matrix(
        self,
        y_true: Sequence[int],
        y_pred: Sequence[int],
        fp: Mapping[int, int] = {},
        fn: Mapping[int, int] = {},
    ) -> np.ndarray:
        """The K x (K + 2) matrix over the ground truth's categories: rows
        the true category, columns the predicted one, then the false
        positives and the false negatives of each category (float32).
        Categories the ground truth does not have are left out."""
        index = {cat_id: k for k, cat_id in enumerate(self.cocoGt.cats)}
        k = len(index)
        matrix = np.zeros((k, k + 2), dtype=np.float32)
        pairs = [(index[t], index[p]) for t, p in zip(y_true, y_pred, strict=True) if t in index and p in index]
        if pairs:
            rows, cols = np.array(pairs, dtype=np.intp).T
            np.add.at(matrix, (rows, cols), 1)
        for cat_id, count in fp.items():
            if cat_id in index:
                matrix[index[cat_id], k] = count
        for cat_id, count in fn.items():
            if cat_id in index:
                matrix[index[cat_id], k + 1] = count
        return matrix

    def compute_confusion_matrix(self) -> np.ndarray:
        """The confusion matrix of this evaluation (see
        ``_compute_confusion_matrix``): for each matched ground truth, its
        category against its detection's ("dt_id"; a crowd region matched
        by several detections counts once), then the "fp" and "fn" marks
        counted by category. Meant for ``useCats=False``, where a detection
        may match another category.

        Raises
        ------
        AssertionError
            Before ``evaluate()``.
        """
        assert self.eval is not None, "Please run self.evaluate() before"
        if self.useCats:
            logger.warning("The calculation may not be accurate. No intersection of classes. useCats=True")
        dt_anns = self.cocoDt.anns
        y_true, y_pred = [], []
        fn: dict[int, int] = {}
        for ann in self.cocoGt.anns.values():
            if "dt_id" in ann:
                y_true.append(ann["category_id"])
                y_pred.append(dt_anns[ann["dt_id"]]["category_id"])
            elif ann.get("fn", False):
                fn[ann["category_id"]] = fn.get(ann["category_id"], 0) + 1
        fp: dict[int, int] = {}
        for ann in dt_anns.values():
            if ann.get("fp", False):
                fp[ann["category_id"]] = fp.get(ann["category_id"], 0) + 1
        return self._compute_confusion_matrix(y_true, y_pred, fp, fn)

    def display_matrix(
        self, normalize: bool = False, conf_matrix: np.ndarray | None = None, return_fig: bool = False
    ) -> Any:
        """Draws the confusion matrix (``compute_confusion_matrix()`` by
        default), labelled with the category names; rows as percentages
        with ``normalize``."""
        if conf_matrix is None:
            conf_matrix = self.compute_confusion_matrix()
        labels = [cat["name"] for cat in self.cocoGt.cats.values()]
        return display_matrix(conf_matrix, labels, normalize=normalize, return_fig=return_fig)
