"""``pycocotools.mask`` on the native RLE functions.

One RLE dict versus a list follows the reference's rule: ``decode``, ``area``
and ``toBbox`` given a list answer for each item, given one dict answer for
that dict alone; ``encode`` of a 2-D (h, w) array returns one RLE dict, of a
3-D (h, w, n) array a list. Counts are ``bytes``. What the reference refuses,
these refuse with its exception type (a missing ``size``/``counts`` is a
KeyError, a mask of another dtype a ValueError, an ``iscrowd`` of another
length than ``gt`` an AssertionError), and ``decode`` raises its ValueError
for counts whose runs overrun h*w (the first mask's h*w, which ``decode``
gives every mask).

Deliberate differences where the reference reads past the counts string or
builds a wrong mask (each now refused with ValueError):

- compressed counts whose last byte says more of a run follows, in every
  function reading runs (the reference's ``area``, ``toBbox``, ``merge`` and
  ``iou`` read past the string's end);
- ``frPyObjects`` of an RLE dict whose counts are compressed.

Deliberate differences, each accepting more than the reference:

- ``encode`` takes bool or uint8 masks in any memory layout (the reference
  takes only Fortran-ordered ones) with identical bytes, and refuses a
  1-D or 4-D array with ValueError (the reference returns None);
- ``decode`` and ``area`` also take uncompressed (list) counts; runs that
  fall short of h*w decode as zeros (the reference leaves that memory unset);
- ``frPyObjects`` also takes a list of 4-number boxes and an empty list.

Examples
--------
>>> import numpy as np
>>> from vantorel.compat import mask
>>> rle = mask.encode(np.ones((2, 3), dtype=bool))
>>> rle, int(mask.area(rle))
({'size': [2, 3], 'counts': b'06'}, 6)
"""

from __future__ import annotations

import operator
from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np

from .. import _zerlin

__all__ = ["area", "decode", "encode", "frPyObjects", "iou", "merge", "toBbox"]

_T = TypeVar("_T")


def _missing_key(objs: Any) -> KeyError | None:
    """The reference's KeyError for the first RLE dict without 'size' or 'counts'."""
    for obj in objs if isinstance(objs, (list, tuple)) else [objs]:
        if isinstance(obj, dict):
            for key in ("size", "counts"):
                if key not in obj:
                    return KeyError(key)
    return None


def _native(fn: Callable[..., _T], objs: Any, *args: Any) -> _T:
    """``fn(objs, *args)``; a refusal the reference reports as KeyError is re-raised as one."""
    try:
        return fn(objs, *args)
    except ValueError as e:
        missing = _missing_key(objs)
        if missing is not None:
            raise missing from e
        raise


def _check_runs(
    rles: Any,
    overrun: str = "Invalid RLE mask representation",
    whole: bool = False,
    first_size: bool = False,
    early_end: Exception | None = None,
) -> None:
    """ValueError(``overrun``) for counts that overrun their h*w (or hold
    negative runs), as the reference's ``decode`` raises; with ``whole``,
    also for runs that fall short of h*w (as faster-coco-eval's ``decode``
    does). With ``first_size`` every RLE is judged against the first one's
    h*w, the size ``decode`` gives all its masks. Compressed counts whose
    last byte continues a number raise ``early_end`` when given. The native
    scan sums compressed runs and passes the sound ones; what it stops at is
    judged here."""
    items = rles if isinstance(rles, list) else list(rles)
    size_of_all = _plain_size(items[0]) if first_size and items else None
    pixels = None if size_of_all is None else size_of_all[0] * size_of_all[1]
    start = 0
    while (fault := _zerlin.run_fault(items, whole, start, pixels)) is not None:
        i, total, ok = fault
        rle = items[i]
        if total is None:  # uncompressed (list) counts
            runs = np.asarray(rle["counts"], dtype=np.int64)
            total, ok = int(runs.sum()), not (runs.size and runs.min() < 0)
        elif not ok and early_end is not None and _ends_inside_a_run(rle["counts"]):
            raise early_end
        h, w = size_of_all or (int(side) for side in rle["size"][:2])
        if not ok or total > h * w:
            raise ValueError(overrun)
        if whole and total < h * w:
            raise ValueError(
                f"Invalid RLE mask representation; decoded {total} pixels but expected {h * w} (h={h}, w={w})"
            )
        start = i + 1


def _plain_size(rle: Any) -> tuple[int, int] | None:
    """(h, w) of an RLE dict whose size is two ints, else None."""
    size = rle.get("size") if isinstance(rle, dict) else None
    if isinstance(size, (list, tuple)) and len(size) >= 2 and all(type(side) is int for side in size[:2]):
        return size[0], size[1]
    return None


def _ends_inside_a_run(counts: Any) -> bool:
    """Whether compressed counts end on a byte that says more of the run follows."""
    last = counts[-1:] if isinstance(counts, (bytes, bytearray, str)) else b""
    return bool(last) and bool(((ord(last) - 48) & 0xFF) & 0x20)


def _refuse_compressed(pyobj: Any, error: type[Exception]) -> None:
    """``error`` for an RLE dict (alone or first in a list) whose counts are
    compressed: the reference builds RLEs only from runs, and reading the
    bytes as runs would give a wrong mask."""
    first = pyobj if isinstance(pyobj, dict) else pyobj[0] if isinstance(pyobj, (list, tuple)) and pyobj else None
    items = [pyobj] if isinstance(pyobj, dict) else pyobj if isinstance(first, dict) else ()
    for item in items:
        if isinstance(item, dict) and isinstance(item.get("counts"), (bytes, bytearray, str)):
            raise error("frPyObjects() takes RLE dicts whose 'counts' are a list of runs, not compressed counts")


def encode(bimask: np.ndarray) -> Any:
    """RLE of a (h, w) mask (one dict) or of each mask of an (h, w, n) stack
    (a list); bool or uint8, any memory layout, nonzero is foreground."""
    if not hasattr(bimask, "shape"):
        raise AttributeError(f"'{type(bimask).__name__}' object has no attribute 'shape'")
    if not isinstance(bimask, np.ndarray):
        raise TypeError(f"Argument 'bimask' has incorrect type (expected numpy.ndarray, got {type(bimask).__name__})")
    if bimask.ndim not in (2, 3):
        raise ValueError(f"encode() takes an (h, w) or (h, w, n) array, not {bimask.ndim}-D")
    if bimask.dtype == np.bool_:
        bimask = bimask.view(np.uint8)
    elif bimask.dtype != np.uint8:
        raise ValueError(f"Buffer dtype mismatch, expected 'uint8_t' but got '{bimask.dtype}'")
    if bimask.ndim == 2:
        return _zerlin.encode(bimask[:, :, np.newaxis])[0]
    return _zerlin.encode(bimask)


def decode(rleObjs: Any) -> np.ndarray:
    """(h, w, n) masks of a list of RLEs, or the (h, w) mask of one RLE dict."""
    objs = rleObjs if isinstance(rleObjs, list) else [rleObjs]
    _check_runs(objs, first_size=True)
    masks: np.ndarray = _native(_zerlin.decode, objs)
    return masks if isinstance(rleObjs, list) else masks[:, :, 0]


def area(rleObjs: Any) -> Any:
    """uint32 areas of a list of RLEs, or the area of one RLE dict as a uint32 scalar."""
    if isinstance(rleObjs, list):
        return _native(_zerlin.area, rleObjs)
    return _native(_zerlin.area, [rleObjs])[0]


def toBbox(rleObjs: Any) -> np.ndarray:
    """(n, 4) [x, y, w, h] boxes of a list of RLEs, or the (4,) box of one RLE dict."""
    boxes: np.ndarray = _native(_zerlin.toBbox, rleObjs if isinstance(rleObjs, list) else [rleObjs])
    return boxes if isinstance(rleObjs, list) else boxes[0]


def merge(rleObjs: Any, intersect: int = 0) -> dict[str, Any]:
    """The union (or with ``intersect``, the intersection) of a list of RLEs."""
    return _native(_zerlin.merge, rleObjs, intersect)


def iou(dt: Any, gt: Any, pyiscrowd: Any) -> Any:
    """IoU of each ``dt`` with each ``gt`` (both boxes or both RLEs); a crowd
    ground truth is measured against the detection's area alone."""
    if isinstance(gt, list) and gt and not isinstance(gt[0], (dict, list, tuple, np.ndarray)):
        raise TypeError("object of type 'int' has no len()")  # one flat box, as the reference finds it
    if hasattr(pyiscrowd, "__len__") and isinstance(gt, (list, np.ndarray)) and len(pyiscrowd) != len(gt):
        raise AssertionError("iou(iscrowd=) must have the same length as gt")
    try:
        return _zerlin.iou(dt, gt, pyiscrowd)
    except ValueError as e:
        missing = _missing_key(dt) or _missing_key(gt)
        if missing is not None:
            raise missing from e
        raise


def _side(value: Any) -> int:
    """An image side given as an int or a float (the reference takes both; a float is truncated)."""
    try:
        return operator.index(value)
    except TypeError:
        return int(value)


def frPyObjects(pyobj: Any, h: Any, w: Any) -> Any:
    """RLEs of polygons, boxes or uncompressed RLEs (a list: a list of RLEs;
    one uncompressed RLE dict: one RLE)."""
    _refuse_compressed(pyobj, ValueError)
    return _zerlin.frPyObjects(pyobj, _side(h), _side(w))
