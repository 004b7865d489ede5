"""``lvis.results``: ``LVISResults``, detections in the layout of an LVIS dataset."""

from __future__ import annotations

import logging
import os
from typing import Any

import numpy as np

from ... import _zerlin
from ..._conventions import segmentation_rle
from ...loading import gc_paused
from .lvis import LVIS, _json_copy

__all__ = ["LVIS", "LVISResults"]


class LVISResults(LVIS):
    """Detections in the layout of an ``LVIS`` dataset, capped per image.

    Each image keeps its ``max_dets`` highest-scoring detections (over all
    categories; ties keep file order); a negative ``max_dets`` keeps all.
    Box results get ``area`` = w * h, a box polygon as ``segmentation``
    (unless they carry one) and ``id`` = position + 1; segmentation results
    get the mask's ``area`` and ``bbox``. Results naming images the ground
    truth lacks are refused with AssertionError, as in the reference. The
    caller's dicts are copied, never changed.

    Examples
    --------
    >>> dt = LVISResults(LVIS("data/lvis_val_100.json"), "dets.json", max_dets=300)  # doctest: +SKIP
    """

    def __init__(self, lvis_gt: LVIS | str | os.PathLike[str], results: Any, max_dets: int = 300) -> None:
        if isinstance(lvis_gt, LVIS):
            copied = _json_copy({k: v for k, v in lvis_gt.dataset.items() if k != "annotations"})
            self.dataset = {k: copied.get(k) for k in lvis_gt.dataset}  # the file's key order
        elif isinstance(lvis_gt, (str, os.PathLike)):
            self.dataset = self._load_json(lvis_gt)
        else:
            raise TypeError(f"Unsupported type {lvis_gt} of lvis_gt.")
        self.logger = logging.getLogger("lvis.results")
        self.logger.info("Loading and preparing results.")
        if isinstance(results, (str, os.PathLike)):
            result_anns = self._load_json(results)
        else:
            self.logger.warning("Assuming user provided the results in correct format.")
            result_anns = results
        if not isinstance(result_anns, list):
            raise AssertionError("results is not a list.")  # the reference's error
        with gc_paused():
            if result_anns is results:
                result_anns = [dict(a) for a in results]
            if max_dets >= 0:
                result_anns = self.limit_dets_per_image(result_anns, max_dets)
            self._complete(result_anns)
        if not {a["image_id"] for a in result_anns} <= {img["id"] for img in self.dataset["images"]}:
            raise AssertionError("Results do not correspond to current LVIS set.")
        self.dataset["annotations"] = result_anns
        self._create_index()

    def _complete(self, anns: list[Any]) -> None:
        if not anns:
            return
        if "bbox" in anns[0]:
            for i, ann in enumerate(anns):
                x1, y1, w, h = ann["bbox"]
                if "segmentation" not in ann:
                    x2, y2 = x1 + w, y1 + h
                    ann["segmentation"] = [[x1, y1, x1, y2, x2, y2, x2, y1]]
                ann["area"] = w * h
                ann["id"] = i + 1
        elif "segmentation" in anns[0]:
            sizes = {img["id"]: (img["height"], img["width"]) for img in self.dataset.get("images", [])}
            rles = [_result_rle(a, sizes) for a in anns]
            areas, boxes = _zerlin.area(rles), _zerlin.toBbox(rles)
            for i, ann in enumerate(anns):
                ann["area"] = areas[i]
                ann["bbox"] = boxes[i].copy()
                ann["id"] = i + 1
        else:
            for i, ann in enumerate(anns):
                ann["id"] = i + 1

    def limit_dets_per_image(self, anns: list[Any], max_dets: int) -> list[Any]:
        """The detections grouped by image (in order of first appearance),
        each image's cut to its ``max_dets`` best by score when it has more
        (ties keep input order); images within the cap keep input order."""
        n = len(anns)
        if n == 0:
            return []
        first_seen: dict[Any, int] = {}  # any hashable image id, in order of first appearance
        group = np.array([first_seen.setdefault(a["image_id"], len(first_seen)) for a in anns], dtype=np.int64)
        sizes = np.bincount(group)
        scores = np.array([a["score"] for a in anns], dtype=np.float64)
        key = np.where(sizes[group] > max_dets, -scores, 0.0)
        order = np.lexsort((np.arange(n), key, group))
        starts = np.concatenate(([0], np.cumsum(sizes)[:-1]))
        within = np.arange(n) - starts[group[order]]
        return [anns[i] for i in order[within < max_dets].tolist()]

    def get_top_results(self, img_id: Any, score_thrs: float) -> list[Any]:
        """The image's detections scoring strictly above ``score_thrs``."""
        return [ann for ann in self.load_anns(self.get_ann_ids(img_ids=[img_id])) if ann["score"] > score_thrs]


def _result_rle(ann: dict[Any, Any], sizes: dict[Any, Any]) -> Any:
    segm = ann["segmentation"]
    if isinstance(segm, dict) and not isinstance(segm.get("counts"), list):
        return segm
    h, w = sizes[ann["image_id"]]
    return segmentation_rle(segm, h, w)
