"""``FasterCocoEvaluator``: COCO evaluation of a (distributed) PyTorch
validation loop, as torchvision's reference ``CocoEvaluator`` runs it.

Each rank calls ``update()`` with its batches' predictions (tensors keyed
by image id); ``synchronize_between_processes()`` gathers every rank's
results (through ``torch.distributed`` when it is initialised with more
than one process); ``accumulate()`` and ``summarize()`` print and store the
statistics of the images that received predictions. The results are kept
as they come and evaluated once, at synchronisation: the numbers are those
of one ``COCOeval_faster`` over all of them.
"""

from __future__ import annotations

import copy
import importlib
from typing import Any

import numpy as np

from ....mask import encode
from ...core.coco import COCO
from ...core.faster_eval_api import COCOeval_faster

torch: Any = importlib.import_module("torch")

__all__ = ["FasterCocoEvaluator", "all_gather"]

_RANGES = {"small": [0, 32**2], "medium": [32**2, 96**2], "large": [96**2, 1e5**2]}


class FasterCocoEvaluator:
    """COCO evaluator for distributed evaluation.

    Parameters
    ----------
    coco_gt : COCO
        The ground truth (copied).
    iou_types : list of str
        The evaluations to run: "bbox", "segm", "keypoints".
    lvis_style : bool
        LVIS rules and summary (see ``COCOeval_faster``).
    ranges : dict
        Area ranges by label, after "all".

    Examples
    --------
    >>> ev = FasterCocoEvaluator(gt, iou_types=["bbox"])  # doctest: +SKIP
    >>> ev.update({42: {"boxes": boxes, "scores": scores, "labels": labels}})  # doctest: +SKIP
    >>> ev.synchronize_between_processes(); ev.accumulate(); ev.summarize()    # doctest: +SKIP
    >>> ev.stats_as_dict["bbox"]["AP_all"]                                     # doctest: +SKIP
    """

    def __init__(
        self,
        coco_gt: COCO,
        iou_types: list[str],
        lvis_style: bool = False,
        ranges: dict[str, Any] = _RANGES,
    ) -> None:
        self.coco_gt = copy.deepcopy(coco_gt)
        self.world_size: int | None = None
        self.lvis_style = lvis_style
        self.iou_types = list(iou_types)
        self.ranges = copy.deepcopy(ranges)
        self.cleanup()

    def cleanup(self) -> None:
        """Forgets every prediction, for a new evaluation run."""
        self.coco_eval: dict[str, COCOeval_faster] = {
            iou_type: COCOeval_faster(
                self.coco_gt,
                iouType=iou_type,
                print_function=print,
                separate_eval=True,
                lvis_style=self.lvis_style,
                ranges=self.ranges,
            )
            for iou_type in self.iou_types
        }
        self.img_ids: list[Any] = []
        # Per IoU type, the results of each update (evaluated at synchronisation).
        self.eval_imgs: dict[str, list[Any]] = {k: [] for k in self.iou_types}
        self.stats_as_dict: dict[str, Any] = {k: [] for k in self.iou_types}

    def update(self, predictions: dict[Any, Any]) -> None:
        """Takes a batch's predictions: ``{image_id: {"boxes", "scores",
        "labels", and "masks" or "keypoints" as the IoU types need}}``."""
        self.img_ids.extend(np.unique(list(predictions.keys())).tolist())
        for iou_type in self.iou_types:
            self.eval_imgs[iou_type].append(self.prepare(predictions, iou_type))

    def synchronize_between_processes(self) -> None:
        """Gathers every rank's images and results, and evaluates them."""
        results = {k: [r for batch in v for r in batch] for k, v in self.eval_imgs.items()}
        gathered = all_gather((list(self.img_ids), results))
        if len(gathered) > 1:
            self.world_size = len(gathered)
        img_ids = [i for ids, _ in gathered for i in ids]
        results = {k: [r for _, part in gathered for r in part[k]] for k in results}
        unique = np.unique(img_ids).tolist()
        for iou_type, coco_eval in self.coco_eval.items():
            # Silent, as the per-batch evaluations this stands for are.
            shown, self.coco_gt.print_function = self.coco_gt.print_function, _silent
            coco_eval.print_function = _silent
            try:
                coco_eval.cocoDt = _results_of(self.coco_gt, results[iou_type])
                coco_eval.params.imgIds = unique
                coco_eval.evaluate()
            finally:
                coco_eval.print_function = self.coco_gt.print_function = shown

    def accumulate(self) -> None:
        """Accumulates each evaluation (its lines go to ``print``)."""
        for coco_eval in self.coco_eval.values():
            coco_eval.accumulate()

    def summarize(self) -> None:
        """Prints each evaluation's summary and stores its ``stats_as_dict``."""
        for iou_type, coco_eval in self.coco_eval.items():
            print(f"IoU metric: {iou_type}")
            coco_eval.summarize()
            self.stats_as_dict[iou_type] = coco_eval.stats_as_dict

    def prepare(self, predictions: dict[Any, Any], iou_type: str) -> list[dict[str, Any]]:
        """The predictions as COCO results for ``iou_type``."""
        if iou_type == "bbox":
            return self.prepare_for_coco_detection(predictions)
        if iou_type == "segm":
            return self.prepare_for_coco_segmentation(predictions)
        if iou_type == "keypoints":
            return self.prepare_for_coco_keypoint(predictions)
        raise ValueError(f"Unknown iou type {iou_type}")

    def prepare_for_coco_detection(self, predictions: dict[Any, Any]) -> list[dict[str, Any]]:
        """Box results: "boxes" (N x 4, x1 y1 x2 y2), "scores", "labels"."""
        out = []
        for image_id, pred in predictions.items():
            if len(pred) == 0:
                continue
            boxes = _xywh(pred["boxes"]).tolist()
            out += _results(image_id, pred, "bbox", boxes)
        return out

    def prepare_for_coco_segmentation(self, predictions: dict[Any, Any]) -> list[dict[str, Any]]:
        """Mask results: "masks" (N x 1 x H x W, kept above 0.5), "scores", "labels"."""
        out = []
        for image_id, pred in predictions.items():
            if len(pred) == 0:
                continue
            masks = (pred["masks"] > 0.5).detach().cpu().numpy()
            rles = [encode(np.asfortranarray(m[0].astype(np.uint8))) for m in masks]
            for rle in rles:
                rle["counts"] = rle["counts"].decode("utf-8")
            out += _results(image_id, pred, "segmentation", rles)
        return out

    def prepare_for_coco_keypoint(self, predictions: dict[Any, Any]) -> list[dict[str, Any]]:
        """Keypoint results: "keypoints" (N x K x 3), "scores", "labels"."""
        out = []
        for image_id, pred in predictions.items():
            if len(pred) == 0:
                continue
            keypoints = pred["keypoints"].flatten(start_dim=1).tolist()
            out += _results(image_id, pred, "keypoints", keypoints)
        return out


def all_gather(data: Any) -> list[Any]:
    """Every rank's ``data`` (any picklable object), in rank order: through
    ``torch.distributed`` when it is initialised with more than one
    process, else ``[data]``.

    Examples
    --------
    >>> all_gather({"rank": 0})  # doctest: +SKIP
    [{'rank': 0}]
    """
    dist = torch.distributed
    if not (dist.is_available() and dist.is_initialized()) or dist.get_world_size() == 1:
        return [data]
    gathered: list[Any] = [None] * dist.get_world_size()
    dist.all_gather_object(gathered, data)
    return gathered


def _silent(*args: Any) -> None:
    """Drops a progress line."""


def _xywh(boxes: Any) -> Any:
    x1, y1, x2, y2 = boxes.unbind(1)
    return torch.stack((x1, y1, x2 - x1, y2 - y1), dim=1)


def _results(image_id: Any, pred: dict[str, Any], field: str, values: list[Any]) -> list[dict[str, Any]]:
    scores, labels = pred["scores"].tolist(), pred["labels"].tolist()
    return [
        {"image_id": image_id, "category_id": int(labels[k]), field: value, "score": scores[k]}
        for k, value in enumerate(values)
    ]


def _results_of(coco_gt: COCO, results: list[dict[str, Any]]) -> COCO:
    """The results as a ``COCO`` of ``coco_gt`` (an empty one for none)."""
    if results:
        return coco_gt.loadRes(results)
    empty = COCO()
    empty.dataset = {
        "images": list(coco_gt.imgs.values()),
        "annotations": [],
        "categories": list(coco_gt.cats.values()),
    }
    empty.createIndex()
    return empty
