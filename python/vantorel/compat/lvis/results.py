"""``lvis.results``: ``LVISResults``, detections in the layout of an LVIS dataset."""

from __future__ import annotations

import logging
import os
from typing import Any

import numpy as np

from ... import _zerlin
from ..._conventions import segmentation_rle
from ..._lazy import build_lock
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
    caller's dicts are copied, never changed. A file of box or RLE mask
    results stays in the native columns, which ``LVISEval`` reads (capping
    there), until someone reads ``dataset``, ``anns`` or the maps.

    Examples
    --------
    >>> dt = LVISResults(LVIS("data/lvis_val_100.json"), "dets.json", max_dets=300)  # doctest: +SKIP
    """

    def __init__(self, lvis_gt: LVIS | str | os.PathLike[str], results: Any, max_dets: int = 300) -> None:
        if isinstance(lvis_gt, LVIS):
            held = lvis_gt._held()  # its annotations are not needed (nor made, if held compactly)
            copied = _json_copy({k: v for k, v in held.items() if k != "annotations"})
            self.dataset = {k: copied.get(k) for k in held}  # the file's key order
        elif isinstance(lvis_gt, (str, os.PathLike)):
            self.dataset = self._load_json(lvis_gt)
        else:
            raise TypeError(f"Unsupported type {lvis_gt} of lvis_gt.")
        self.logger = logging.getLogger("lvis.results")
        self.logger.info("Loading and preparing results.")
        self._compact = None
        if isinstance(results, (str, os.PathLike)):
            compact = _compact_results(os.fspath(results), max_dets)
            if compact is not None:
                if not compact.handle.valid_images([img["id"] for img in self.dataset["images"]]):
                    raise AssertionError("Results do not correspond to current LVIS set.")
                self._hold_compact(compact)
                return
            result_anns = self._load_json(results)
        else:
            self.logger.warning("Assuming user provided the results in correct format.")
            result_anns = results
        if not isinstance(result_anns, list):
            raise AssertionError("results is not a list.")  # the reference's error
        with gc_paused():
            if result_anns is results:
                result_anns = [dict(a) for a in results]
            _refuse_null_scores(result_anns)
            if max_dets >= 0:
                result_anns = self.limit_dets_per_image(result_anns, max_dets)
            self._complete(result_anns)
        if not {a["image_id"] for a in result_anns} <= {img["id"] for img in self.dataset["images"]}:
            raise AssertionError("Results do not correspond to current LVIS set.")
        self.dataset["annotations"] = result_anns
        self._create_index()

    # -- box results held compactly ----------------------------------------
    #
    # A results file of boxes stays in the native columns (``LVIS`` holds
    # them as it holds a ground truth's): the evaluation reads them there,
    # with the per-image cap applied by the engine; the reference's dicts are
    # made when first read.

    def _annotations_of(self, compact: Any) -> list[Any]:
        anns: list[Any] = compact.handle.annotations()
        for ann in anns:  # the file's own fields, completed below as the reference completes them
            for key in compact.derived:
                del ann[key]
        if compact.max_dets >= 0:
            anns = self.limit_dets_per_image(anns, compact.max_dets)
        self._complete(anns)
        return anns

    def _evaluation_side(self) -> tuple[Any, int | None]:
        """The detections as the engine takes them, and the per-image cap the
        engine must apply (None where the list is capped already)."""
        with build_lock(self):
            compact = self._compact
            if compact is not None:
                return compact.handle, compact.max_dets if compact.max_dets >= 0 else None
            return self._held()["annotations"], None

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
            dataset = self._held()  # not the member, which may be completing these
            sizes = {img["id"]: (img["height"], img["width"]) for img in dataset.get("images", [])}
            rles = [_result_rle(a, sizes) for a in anns]
            areas, boxes = _zerlin.area(rles), _zerlin.toBbox(rles)
            for i, ann in enumerate(anns):
                ann["area"] = areas[i]
                if "bbox" not in ann:  # as in the reference, a box of its own stays
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


class _Compact:
    """A results file in the native columns, the per-image cap to apply
    (negative: none) and the fields its dicts carry that loading derived."""

    def __init__(self, handle: _zerlin.CompactBbox, max_dets: int, derived: tuple[str, ...]) -> None:
        self.handle, self.max_dets, self.derived = handle, max_dets, derived


# The fields loading derives, by the results' shape: files that write one of
# them (the columns cannot tell the file's own from the derived), or a null
# score (which the columns read as 0, where the reference fails), are read as dicts.
_DERIVED = {"boxes": ("iscrowd", "area", "id"), "masks": ("iscrowd", "area", "id", "bbox")}


def _compact_results(path: str, max_dets: int) -> _Compact | None:
    """The file as native columns, where the native reader takes it (box or
    RLE mask results with integer ids, without fields of their own that
    loading derives)."""
    try:
        handle = _zerlin.load_compact_or_objects(path, results=True)[1]
    except ValueError:
        return None  # the JSON reader decides, and names the fault
    if handle is None or handle.annotation_count == 0:
        return None
    shape = _zerlin.results_shape(handle)
    if shape not in _DERIVED:
        return None
    if handle.null_score_offset is not None or set(_DERIVED[shape]) & set(handle.written_fields):
        return None
    return _Compact(handle, max_dets, _DERIVED[shape])


def _refuse_null_scores(anns: list[Any]) -> None:
    """TypeError for a null score, which the reference fails on when it ranks
    the detections (the engine would rank it quietly)."""
    for n, ann in enumerate(anns):
        if isinstance(ann, dict) and "score" in ann and ann["score"] is None:
            raise TypeError(f"result {n} has score None")


def _result_rle(ann: dict[Any, Any], sizes: dict[Any, Any]) -> Any:
    segm = ann["segmentation"]
    if isinstance(segm, dict) and not isinstance(segm.get("counts"), list):
        return segm
    h, w = sizes[ann["image_id"]]
    return segmentation_rle(segm, h, w)
