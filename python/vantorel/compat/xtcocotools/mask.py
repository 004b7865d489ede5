"""xtcocotools' ``mask`` module: the pycocotools drop-in's RLE functions."""

from __future__ import annotations

from ..mask import area, decode, encode, frPyObjects, iou, merge, toBbox

__all__ = ["area", "decode", "encode", "frPyObjects", "iou", "merge", "toBbox"]
