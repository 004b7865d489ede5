"""``faster_coco_eval.core.mask``: pycocotools' mask functions plus
faster-coco-eval's ``segmToRle`` and ``rleToBoundary``. As there, every
function reading an RLE's runs raises ValueError for runs that overrun h*w,
and ``decode`` also for runs that fall short of it (``decode`` measures
every mask against the first one's h*w), and RuntimeError for compressed
counts whose last byte says more of a run follows; ``frPyObjects`` refuses
compressed counts with RuntimeError. Where faster-coco-eval's ValueError
for a later mask that overruns the first's size has a message of its own,
ours is the overrun message.

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
from ... import mask as _pycocotools_mask
from ...mask import _check_runs, _refuse_compressed, _side, encode

#: faster-coco-eval's message for counts whose runs overrun h*w, raised by
#: every function that reads an RLE's runs (pycocotools' ``decode`` alone
#: raises, with a message of its own).
OVERRUN = "RLE counts exceed the mask dimensions."

#: faster-coco-eval's RuntimeError for compressed counts whose last byte
#: says more of a run follows.
EARLY_END = "RLE string is malformed: early end."

#: The "opencv" backend of ``rleToBoundary`` is served by the same
#: implementation (faster-coco-eval's own tests require both to agree).
opencv_available = True

ValidRleType = list[np.ndarray] | list[list[float]] | np.ndarray | list[dict[str, Any]]

__all__ = ["ValidRleType", "area", "decode", "encode", "frPyObjects", "iou", "merge", "rleToBoundary",
           "segmToRle", "toBbox"]  # fmt: skip


def _items(rleObjs: Any) -> list[Any]:
    return rleObjs if isinstance(rleObjs, list) else [rleObjs]


def _checked_runs(rleObjs: Any, whole: bool = False, first_size: bool = False) -> None:
    """faster-coco-eval's refusals of unsound runs (see the module doc)."""
    _check_runs(rleObjs, OVERRUN, whole, first_size, RuntimeError(EARLY_END))


def decode(rleObjs: Any) -> np.ndarray:
    """(h, w, n) masks of a list of RLEs, or the (h, w) mask of one RLE
    dict; ValueError for runs that overrun h*w or fall short of it."""
    _checked_runs(_items(rleObjs), whole=True, first_size=True)
    return _pycocotools_mask.decode(rleObjs)


def area(rleObjs: Any) -> Any:
    """uint32 areas of a list of RLEs, or the area of one RLE dict."""
    _checked_runs(_items(rleObjs))
    return _pycocotools_mask.area(rleObjs)


def toBbox(rleObjs: Any) -> np.ndarray:
    """(n, 4) [x, y, w, h] boxes of a list of RLEs, or the (4,) box of one RLE dict."""
    _checked_runs(_items(rleObjs))
    return _pycocotools_mask.toBbox(rleObjs)


def merge(rleObjs: Any, intersect: int = 0) -> dict[str, Any]:
    """The union (or with ``intersect``, the intersection) of a list of RLEs."""
    _checked_runs(_items(rleObjs))
    return _pycocotools_mask.merge(rleObjs, intersect)


def iou(dt: Any, gt: Any, pyiscrowd: Any) -> Any:
    """IoU of each ``dt`` with each ``gt`` (both boxes or both RLEs); a crowd
    ground truth is measured against the detection's area alone."""
    _checked_runs([*(dt if isinstance(dt, list) else ()), *(gt if isinstance(gt, list) else ())])
    return _pycocotools_mask.iou(dt, gt, pyiscrowd)


def frPyObjects(pyobj: Any, h: Any, w: Any) -> Any:
    """RLEs of polygons, boxes or uncompressed RLEs (a list: a list of RLEs;
    one uncompressed RLE dict: one RLE); RuntimeError for compressed counts."""
    _refuse_compressed(pyobj, RuntimeError)
    return _zerlin.frPyObjects(pyobj, _side(h), _side(w))


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
