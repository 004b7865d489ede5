"""``pycocotools.mask`` on the native RLE functions.

One RLE dict versus a list follows the reference's rule: ``decode``, ``area``
and ``toBbox`` given a list answer for each item, given one dict answer for
that dict alone; ``encode`` of a 2-D (h, w) array returns one RLE dict, of a
3-D (h, w, n) array a list. Counts are ``bytes``.

Unlike the reference, ``encode`` accepts a uint8 array in any memory layout,
not only a Fortran-ordered one.

Examples
--------
>>> import numpy as np
>>> from vantorel.compat import mask
>>> rle = mask.encode(np.ones((2, 3), dtype=np.uint8))
>>> rle, int(mask.area(rle))
({'size': [2, 3], 'counts': b'06'}, 6)
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import _zerlin

iou = _zerlin.iou
merge = _zerlin.merge
frPyObjects = _zerlin.frPyObjects

__all__ = ["area", "decode", "encode", "frPyObjects", "iou", "merge", "toBbox"]


def encode(bimask: np.ndarray) -> Any:
    """RLE of a (h, w) mask (one dict) or of each mask of an (h, w, n) stack (a list)."""
    if isinstance(bimask, np.ndarray) and bimask.ndim == 2:
        return _zerlin.encode(bimask[:, :, np.newaxis])[0]
    return _zerlin.encode(bimask)


def decode(rleObjs: Any) -> np.ndarray:
    """(h, w, n) masks of a list of RLEs, or the (h, w) mask of one RLE dict."""
    masks: np.ndarray = _zerlin.decode(rleObjs if isinstance(rleObjs, list) else [rleObjs])
    return masks if isinstance(rleObjs, list) else masks[:, :, 0]


def area(rleObjs: Any) -> Any:
    """uint32 areas of a list of RLEs, or the area of one RLE dict as a uint32 scalar."""
    if isinstance(rleObjs, list):
        return _zerlin.area(rleObjs)
    return _zerlin.area([rleObjs])[0]


def toBbox(rleObjs: Any) -> np.ndarray:
    """(n, 4) [x, y, w, h] boxes of a list of RLEs, or the (4,) box of one RLE dict."""
    boxes: np.ndarray = _zerlin.toBbox(rleObjs if isinstance(rleObjs, list) else [rleObjs])
    return boxes if isinstance(rleObjs, list) else boxes[0]
