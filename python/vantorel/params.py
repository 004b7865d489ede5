"""Evaluation parameters, with the reference COCO evaluation's defaults."""

from __future__ import annotations

import copy
from dataclasses import dataclass, field
from typing import Any

import numpy as np

# COCO-WholeBody's evaluations (xtcocotools' types): COCO keypoints on one
# part's keypoint list, or on all of them joined.
WHOLEBODY_TYPES = ("keypoints_body", "keypoints_foot", "keypoints_face", "keypoints_lefthand",
                   "keypoints_righthand", "keypoints_wholebody")  # fmt: skip
IOU_TYPES = ("bbox", "segm", "keypoints", "boundary", "keypoints_crowd") + WHOLEBODY_TYPES

#: Each whole-body type's keypoint lists (joined in this order), the result
#: score that ranks it (None: "score") and its keypoint count.
WHOLEBODY_PARTS: dict[str, tuple[tuple[str, ...], str | None, int]] = {
    "keypoints_body": (("keypoints",), None, 17),
    "keypoints_foot": (("foot_kpts",), "foot_score", 6),
    "keypoints_face": (("face_kpts",), "face_score", 68),
    "keypoints_lefthand": (("lefthand_kpts",), "lefthand_score", 21),
    "keypoints_righthand": (("righthand_kpts",), "righthand_score", 21),
    "keypoints_wholebody": (("keypoints", "foot_kpts", "face_kpts", "lefthand_kpts", "righthand_kpts"),
                            "wholebody_score", 133),
}  # fmt: skip
# The keypoint evaluations: COCO's, CrowdPose's (COCO's matching, its
# summary adding AP by the images' crowd index) and COCO-WholeBody's.
KEYPOINT_TYPES = ("keypoints", "keypoints_crowd") + WHOLEBODY_TYPES

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
    """Evaluation parameters; the defaults are those of the reference COCO evaluation.

    Attributes
    ----------
    iou_type : str
        "bbox", "segm", "keypoints", "boundary", "keypoints_crowd"
        (CrowdPose: keypoints, summarised by the images' ``crowdIndex`` too)
        or a COCO-WholeBody type ("keypoints_body", "keypoints_foot",
        "keypoints_face", "keypoints_lefthand", "keypoints_righthand",
        "keypoints_wholebody").
    img_ids, cat_ids : list
        Images and categories to evaluate; empty means all of the ground truth's.
    iou_thrs : numpy.ndarray
        IoU thresholds (0.50:0.05:0.95).
    rec_thrs : numpy.ndarray
        Recall thresholds (0:0.01:1).
    max_dets : list of int
        Detection caps per image ([1, 10, 100]; [20] for keypoints, [300] for LVIS).
    area_rng : list of [float, float]
        Object area ranges, paired with ``area_labels`` (all, small, medium, large).
    area_labels : list of str
        Their names; the summary looks for "all", "small", "medium" and "large".
    use_cats : bool
        Match within categories (True) or across them.
    kpt_sigmas : numpy.ndarray
        Per-keypoint OKS constants (the 17 COCO person keypoints'; empty for
        the whole-body types but the body's, whose sigmas the caller gives).
    use_area : bool
        Keypoint similarity scaled by the ground truth's area (else 0.53 x its box area).
    boundary_dilation : float
        Boundary width as a fraction of the image diagonal.

    Examples
    --------
    >>> p = Params.for_type("bbox")
    >>> p.max_dets = [1, 10, 300]
    >>> p.max_dets
    [1, 10, 300]
    """

    iou_type: str = "bbox"
    img_ids: list[Any] = field(default_factory=list)
    cat_ids: list[Any] = field(default_factory=list)
    iou_thrs: np.ndarray = field(default_factory=lambda: np.linspace(0.5, 0.95, 10))
    rec_thrs: np.ndarray = field(default_factory=lambda: np.linspace(0.0, 1.0, 101))
    max_dets: list[int] = field(default_factory=lambda: [1, 10, 100])
    area_rng: list[list[float]] = field(default_factory=lambda: [AREA_ALL, AREA_SMALL, AREA_MEDIUM, AREA_LARGE])
    area_labels: list[str] = field(default_factory=lambda: ["all", "small", "medium", "large"])
    use_cats: bool = True
    kpt_sigmas: np.ndarray = field(default_factory=lambda: COCO_KPT_SIGMAS.copy())
    use_area: bool = True
    boundary_dilation: float = 0.02

    @classmethod
    def for_type(cls, iou_type: str, lvis: bool = False) -> Params:
        """The defaults for one kind of evaluation.

        Parameters
        ----------
        iou_type : str
            One of ``IOU_TYPES``.
        lvis : bool, default False
            LVIS's cap of 300 detections per image.

        Examples
        --------
        >>> Params.for_type("keypoints").max_dets
        [20]
        """
        if iou_type not in IOU_TYPES:
            raise ValueError(f"iou_type must be one of {', '.join(IOU_TYPES)}; got {iou_type!r}")
        p = cls(iou_type=iou_type)
        if iou_type in KEYPOINT_TYPES:
            p.max_dets = [20]
            p.area_rng = [AREA_ALL, AREA_MEDIUM, AREA_LARGE]
            p.area_labels = ["all", "medium", "large"]
        if iou_type in WHOLEBODY_TYPES and iou_type != "keypoints_body":
            p.kpt_sigmas = np.zeros(0)
        if lvis:
            p.max_dets = [300]
        return p

    def copy(self) -> Params:
        """A deep copy, so that filling in defaults never changes the caller's object.

        Examples
        --------
        >>> p = Params()
        >>> p.copy() is p
        False
        """
        return copy.deepcopy(self)

    def to_dict(self) -> dict[str, Any]:
        """The parameters as plain JSON-ready values.

        Examples
        --------
        >>> Params().to_dict()["max_dets"]
        [1, 10, 100]
        """
        return {
            "iou_type": self.iou_type,
            "img_ids": [_plain(i) for i in self.img_ids],
            "cat_ids": [_plain(c) for c in self.cat_ids],
            "iou_thrs": [float(t) for t in self.iou_thrs],
            "rec_thrs": [float(t) for t in self.rec_thrs],
            "max_dets": [int(m) for m in self.max_dets],
            "area_rng": [[float(lo), float(hi)] for lo, hi in self.area_rng],
            "area_labels": list(self.area_labels),
            "use_cats": bool(self.use_cats),
            "kpt_sigmas": [float(s) for s in self.kpt_sigmas],
            "use_area": bool(self.use_area),
            "boundary_dilation": float(self.boundary_dilation),
        }


def _plain(value: Any) -> Any:
    """An id as JSON can hold it: numbers and strings as they are, anything else as its text."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value)
    return value if isinstance(value, str) else str(value)
