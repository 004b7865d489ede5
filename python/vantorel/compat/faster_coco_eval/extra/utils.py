"""``faster_coco_eval.extra.utils``: masks and RLEs to COCO polygons
(OpenCV's contour tracing, an optional dependency as in faster-coco-eval).

Examples
--------
>>> from vantorel.compat.faster_coco_eval.extra import utils
>>> utils.convert_ann_rle_to_poly({"segmentation": [[0, 0, 4, 0, 4, 4]], "bbox": [0, 0, 4, 4]})["segmentation"]
[[0, 0, 4, 0, 4, 4]]
"""

from __future__ import annotations

import importlib
from typing import Any

import numpy as np

from ..core import mask as mask_util

# OpenCV is optional, imported by name (its absence is reported when needed).
cv2: Any
try:
    cv2 = importlib.import_module("cv2")
    opencv_available = True
except ImportError:
    cv2 = None
    opencv_available = False

__all__ = ["conver_mask_to_poly", "convert_ann_rle_to_poly", "convert_rle_to_poly", "opencv_available"]


def _check_opencv() -> None:
    """ImportError naming the package when OpenCV is missing."""
    if not opencv_available:
        raise ImportError("Missing dependency: opencv-python. Install it with: pip install opencv-python")


def conver_mask_to_poly(mask: np.ndarray, bbox: list[float], boxes_margin: float = 0.1) -> list[list[float]]:
    """The contours of a mask (holes included) inside its box, widened by
    ``boxes_margin`` of its width and height (whole pixels) each side and
    clipped to the mask, as COCO polygons in image coordinates; contours of
    fewer than three points are left out. (faster-coco-eval's name,
    spelling included.)"""
    _check_opencv()
    x, y, w, h = bbox
    height, width = mask.shape[:2]
    mx, my = int(w * boxes_margin), int(h * boxes_margin)
    x0, y0 = max(0, x - mx), max(0, y - my)
    x1, y1 = min(width, int(x + w + mx)), min(height, int(y + h + my))
    crop = np.ascontiguousarray(mask[int(y0) : y1, int(x0) : x1]).astype(np.uint8)
    if crop.size == 0:
        return []
    contours, _ = cv2.findContours(crop, cv2.RETR_TREE, cv2.CHAIN_APPROX_SIMPLE)
    origin = np.array([x0, y0])
    return [(np.asarray(c).reshape(-1, 2) + origin).ravel().tolist() for c in contours if len(c) >= 3]


def convert_rle_to_poly(rle: dict[str, Any], bbox: list[float]) -> list[list[float]]:
    """An RLE's mask as COCO polygons (see ``conver_mask_to_poly``)."""
    _check_opencv()
    return conver_mask_to_poly(mask_util.decode(rle), bbox)


def convert_ann_rle_to_poly(ann: dict[str, Any]) -> dict[str, Any]:
    """The annotation with an RLE segmentation traced to polygons, the RLE
    kept under "counts"; polygons are left as they are."""
    if isinstance(ann.get("segmentation"), dict):
        ann["counts"] = ann["segmentation"]
        ann["segmentation"] = convert_rle_to_poly(ann["segmentation"], ann["bbox"])
    return ann
