"""``faster_coco_eval.core.mask``: pycocotools' mask functions plus
faster-coco-eval's ``segmToRle`` and ``rleToBoundary``.

Examples
--------
>>> from vantorel.compat.faster_coco_eval.core import mask
>>> mask.segmToRle([[1, 1, 6, 1, 6, 5]], 9, 7)
{'size': [7, 9], 'counts': b'?161O1O1c0'}
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .... import _zerlin
from ...mask import area, decode, encode, frPyObjects, iou, merge, toBbox

#: The "opencv" backend of ``rleToBoundary`` is served by the same
#: implementation (faster-coco-eval's own tests require both to agree).
opencv_available = True

ValidRleType = list[np.ndarray] | list[list[float]] | np.ndarray | list[dict[str, Any]]

__all__ = ["ValidRleType", "area", "decode", "encode", "frPyObjects", "iou", "merge", "rleToBoundary",
           "segmToRle", "toBbox"]  # fmt: skip


def segmToRle(segm: list[float] | list[int] | dict[str, Any], w: int, h: int) -> dict[str, Any]:
    """The RLE of a segmentation at an image of width ``w`` and height ``h``
    (note the order): polygons are rasterised and merged, an uncompressed
    RLE is compressed, a compressed one is returned as it is."""
    if isinstance(segm, list):
        return merge(frPyObjects(segm, h, w))
    if isinstance(segm["counts"], list):
        rle: dict[str, Any] = frPyObjects(segm, h, w)
        return rle
    return segm


def rleToBoundary(rle: dict[str, Any], dilation_ratio: float = 0.02, backend: str = "mask_api") -> dict[str, Any]:
    """The RLE of a mask's boundary band, ``dilation_ratio`` of the image
    diagonal wide (as the "boundary" evaluation measures it). ``backend`` is
    accepted for faster-coco-eval's signature ("mask_api", "opencv"); there
    is one implementation."""
    boundary: dict[str, Any] = _zerlin.toBoundary([rle], float(dilation_ratio))[0]
    return boundary
