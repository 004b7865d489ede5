"""Evaluation parameters, with the reference COCO evaluation's defaults."""

from __future__ import annotations

import copy
from dataclasses import dataclass, field

import numpy as np

IOU_TYPES = ("bbox", "segm", "keypoints", "boundary")

# Per-keypoint OKS constants of the 17 COCO person keypoints.
COCO_KPT_SIGMAS = (
    np.array([0.26, 0.25, 0.25, 0.35, 0.35, 0.79, 0.79, 0.72, 0.72, 0.62, 0.62, 1.07, 1.07, 0.87, 0.87, 0.89, 0.89])
    / 10.0
)

AREA_ALL = [0.0**2, 1e5**2]
AREA_SMALL = [0.0**2, 32.0**2]
AREA_MEDIUM = [32.0**2, 96.0**2]
AREA_LARGE = [96.0**2, 1e5**2]


@dataclass
class Params:
    """Evaluation parameters; the defaults are those of the reference COCO evaluation."""

    iou_type: str = "bbox"
    img_ids: list = field(default_factory=list)
    cat_ids: list = field(default_factory=list)
    iou_thrs: np.ndarray = field(default_factory=lambda: np.linspace(0.5, 0.95, 10))
    rec_thrs: np.ndarray = field(default_factory=lambda: np.linspace(0.0, 1.0, 101))
    max_dets: list = field(default_factory=lambda: [1, 10, 100])
    area_rng: list = field(default_factory=lambda: [AREA_ALL, AREA_SMALL, AREA_MEDIUM, AREA_LARGE])
    area_labels: list = field(default_factory=lambda: ["all", "small", "medium", "large"])
    use_cats: bool = True
    kpt_sigmas: np.ndarray = field(default_factory=lambda: COCO_KPT_SIGMAS.copy())
    use_area: bool = True
    boundary_dilation: float = 0.02

    @classmethod
    def for_type(cls, iou_type: str, lvis: bool = False) -> "Params":
        if iou_type not in IOU_TYPES:
            raise ValueError(f"iou_type must be one of {', '.join(IOU_TYPES)}; got {iou_type!r}")
        p = cls(iou_type=iou_type)
        if iou_type == "keypoints":
            p.max_dets = [20]
            p.area_rng = [AREA_ALL, AREA_MEDIUM, AREA_LARGE]
            p.area_labels = ["all", "medium", "large"]
        if lvis:
            p.max_dets = [300]
        return p

    def copy(self) -> "Params":
        """A deep copy, so that filling in defaults never changes the caller's object."""
        return copy.deepcopy(self)
