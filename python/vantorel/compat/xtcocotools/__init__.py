"""xtcocotools' API (the extended COCO API that MMPose depends on) on
vantorel's engine: its ``coco`` and ``mask`` modules serve the pycocotools
drop-in's ``COCO`` and RLE functions, its ``cocoeval`` has xtcocotools' constructor
``COCOeval(cocoGt, cocoDt, iouType, sigmas, use_area)`` and its CrowdPose
type "keypoints_crowd"::

    from vantorel.compat.xtcocotools.cocoeval import COCOeval  # was: from xtcocotools.cocoeval import COCOeval

or call ``vantorel.compat.install_as_xtcocotools()`` before code that
imports xtcocotools (MMPose's metrics) runs.

Examples
--------
>>> from vantorel.compat import install_as_xtcocotools
>>> install_as_xtcocotools()
>>> import xtcocotools.cocoeval
>>> xtcocotools.cocoeval.COCOeval.__module__
'vantorel.compat.xtcocotools.cocoeval'
"""

from __future__ import annotations

from . import coco, cocoeval, mask

__all__ = ["coco", "cocoeval", "mask"]
