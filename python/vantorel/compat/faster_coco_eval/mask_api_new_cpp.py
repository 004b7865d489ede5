"""``faster_coco_eval.mask_api_new_cpp``: the list-in, list-out mask
functions of faster-coco-eval's native module, with its checks (ValueError
for runs that overrun h*w in every function reading them, and for runs that
fall short of it in ``decode``) and its one-argument ``frUncompressedRLE``.
Its private helpers (``RLE``, ``erode_3x3``, ``_frString``, ...) are not
provided.

Examples
--------
>>> from vantorel.compat.faster_coco_eval import mask_api_new_cpp as raw
>>> raw.frUncompressedRLE([{"size": [2, 2], "counts": [1, 3]}])
[{'size': [2, 2], 'counts': b'13'}]
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ... import _zerlin
from .core.mask import _checked_runs, frPyObjects

__all__ = ["area", "decode", "encode", "frBbox", "frPoly", "frPyObjects", "frUncompressedRLE", "iou", "merge",
           "toBbox"]  # fmt: skip

encode = _zerlin.encode
frBbox = _zerlin.frBbox
frPoly = _zerlin.frPoly


def decode(rleObjs: list[Any]) -> np.ndarray:
    """(h, w, n) masks of a list of RLEs."""
    _checked_runs(rleObjs, whole=True, first_size=True)
    masks: np.ndarray = _zerlin.decode(rleObjs)
    return masks


def area(rleObjs: list[Any]) -> np.ndarray:
    """uint32 areas of a list of RLEs."""
    _checked_runs(rleObjs)
    areas: np.ndarray = _zerlin.area(rleObjs)
    return areas


def toBbox(rleObjs: list[Any]) -> np.ndarray:
    """(n, 4) [x, y, w, h] boxes of a list of RLEs."""
    _checked_runs(rleObjs)
    boxes: np.ndarray = _zerlin.toBbox(rleObjs)
    return boxes


def merge(rleObjs: list[Any], intersect: int = 0) -> dict[str, Any]:
    """The union (or with ``intersect``, the intersection) of a list of RLEs."""
    _checked_runs(rleObjs)
    merged: dict[str, Any] = _zerlin.merge(rleObjs, intersect)
    return merged


def iou(dt: Any, gt: Any, iscrowd: Any) -> Any:
    """D x G IoU of boxes or RLEs (the native work runs without the interpreter lock)."""
    _checked_runs([*(dt if isinstance(dt, list) else ()), *(gt if isinstance(gt, list) else ())])
    return _zerlin.iou(dt, gt, iscrowd)


def frUncompressedRLE(ucRles: list[Any], h: int | None = None, w: int | None = None) -> list[Any]:
    """Compressed RLEs of uncompressed ones (each carries its own size; ``h``
    and ``w`` are accepted for pycocotools' three-argument call)."""
    _checked_runs(ucRles)
    rles: list[Any] = _zerlin.frUncompressedRLE(ucRles, 0 if h is None else h, 0 if w is None else w)
    return rles
