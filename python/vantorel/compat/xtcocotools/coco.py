"""xtcocotools' ``coco`` module: the pycocotools drop-in's ``COCO``."""

from __future__ import annotations

from ..coco import COCO

__all__ = ["COCO"]
