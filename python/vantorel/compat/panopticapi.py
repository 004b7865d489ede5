"""Drop-in for panopticapi's ``evaluation`` and ``utils`` modules, on
vantorel's panoptic quality.

``pq_compute`` prints what panopticapi prints (the folders and files, the
summary table, the time) and returns its dict; ``PQStat``, ``PQStatCat``,
``OFFSET``, ``VOID``, ``rgb2id`` and ``id2rgb`` serve evaluators that drive
the per-image loop themselves (MMDetection's). After
``install_as_panopticapi()``, ``from panopticapi.evaluation import
pq_compute`` resolves here (detectron2's COCOPanopticEvaluator calls it so).

Differences: the per-core progress lines panopticapi's worker processes
print are not printed (one process reads all images); see
:mod:`vantorel.panoptic` for the faults reported where panopticapi
continues or fails otherwise.

Examples
--------
>>> from vantorel.compat import install_as_panopticapi
>>> install_as_panopticapi()
>>> from panopticapi.evaluation import pq_compute
>>> pq_compute.__module__
'vantorel.compat.panopticapi'
"""

from __future__ import annotations

import time
from collections import defaultdict
from typing import Any

import numpy as np

from .. import panoptic

OFFSET = 256 * 256 * 256
VOID = 0

__all__ = ["OFFSET", "VOID", "PQStat", "PQStatCat", "id2rgb", "pq_compute", "rgb2id"]


def rgb2id(color: Any) -> Any:
    """Segment id of an RGB colour: an (h, w, 3) array to an (h, w) int32 array, or one colour to an int.

    Examples
    --------
    >>> rgb2id([1, 2, 3])
    197121
    """
    if isinstance(color, np.ndarray) and color.ndim == 3:
        if color.dtype == np.uint8:
            color = color.astype(np.int32)
        return color[:, :, 0] + 256 * color[:, :, 1] + 256 * 256 * color[:, :, 2]
    return int(color[0] + 256 * color[1] + 256 * 256 * color[2])


def id2rgb(id_map: Any) -> Any:
    """RGB colour of a segment id: an array of ids to an (..., 3) uint8 array, or one id to a list.

    Examples
    --------
    >>> id2rgb(197121)
    [1, 2, 3]
    """
    if isinstance(id_map, np.ndarray):
        rgb_map = np.zeros((*id_map.shape, 3), dtype=np.uint8)
        rest = id_map.copy()
        for i in range(3):
            rgb_map[..., i] = rest % 256
            rest //= 256
        return rgb_map
    color = []
    for _ in range(3):
        color.append(id_map % 256)
        id_map //= 256
    return color


class PQStatCat:
    """IoU sum and TP, FP, FN counts of one category."""

    def __init__(self) -> None:
        self.iou = 0.0
        self.tp = 0
        self.fp = 0
        self.fn = 0

    def __iadd__(self, other: PQStatCat) -> PQStatCat:
        self.iou += other.iou
        self.tp += other.tp
        self.fp += other.fp
        self.fn += other.fn
        return self


class PQStat:
    """Per-category statistics (``pq_per_cat``) and their averages.

    Examples
    --------
    >>> s = PQStat()
    >>> s[1].tp, s[1].iou = 1, 0.75
    >>> s.pq_average({1: {"isthing": 1}}, isthing=True)[0]["pq"]
    0.75
    """

    def __init__(self) -> None:
        self.pq_per_cat: defaultdict[Any, PQStatCat] = defaultdict(PQStatCat)

    def __getitem__(self, i: Any) -> PQStatCat:
        return self.pq_per_cat[i]

    def __iadd__(self, pq_stat: PQStat) -> PQStat:
        for label, stat in pq_stat.pq_per_cat.items():
            self.pq_per_cat[label] += stat
        return self

    def pq_average(self, categories: dict[Any, Any], isthing: bool | None) -> tuple[dict[str, Any], dict[Any, Any]]:
        cat_ids = list(categories)
        counts = []
        for c in cat_ids:
            s = self.pq_per_cat[c] if c in self.pq_per_cat else PQStatCat()
            counts.append((s.tp, s.fp, s.fn, s.iou))
        flags = {c: categories[c]["isthing"] for c in cat_ids}
        r = panoptic.pq_averages(cat_ids, flags, counts)
        name = {None: "All", True: "Things", False: "Stuff"}[isthing]
        per_class = {
            c: {k: v[k] for k in ("pq", "sq", "rq")}
            for c, v in r["per_class"].items()
            if isthing is None or (flags[c] == 1) == isthing
        }
        return r[name], per_class


def pq_compute(
    gt_json_file: str, pred_json_file: str, gt_folder: str | None = None, pred_folder: str | None = None
) -> dict[str, Any]:
    """panopticapi's ``pq_compute``: prints the summary table and returns
    ``{"All" | "Things" | "Stuff": {"pq", "sq", "rq", "n"}, "per_class": {id: {"pq", "sq", "rq"}}}``.

    Examples
    --------
    >>> results = pq_compute("panoptic_val2017.json", "predictions.json")  # doctest: +SKIP
    """
    start = time.time()
    gt_folder = gt_folder if gt_folder is not None else gt_json_file.replace(".json", "")
    pred_folder = pred_folder if pred_folder is not None else pred_json_file.replace(".json", "")
    print("Evaluation panoptic segmentation metrics:")
    print("Ground truth:")
    print(f"\tSegmentation folder: {gt_folder}")
    print(f"\tJSON file: {gt_json_file}")
    print("Prediction:")
    print(f"\tSegmentation folder: {pred_folder}")
    print(f"\tJSON file: {pred_json_file}")
    results = panoptic.pq_compute(gt_json_file, pred_json_file, gt_folder, pred_folder)
    for entry in results["per_class"].values():
        for key in ("tp", "fp", "fn"):
            del entry[key]
    print(panoptic.format_table(results))
    print(f"Time elapsed: {time.time() - start:0.2f} seconds")
    return results
