"""The one way into the native engine, for every API of the package.

``evaluator`` builds the native ``Evaluator`` from the package's ``Params``
(with the LVIS federated input, when given, at construction), and
``summary_lines`` is the one table of summary lines: which slice of the
precision or recall array each line averages, named as each API names it
(``"vantorel"``, ``"pycocotools"``, ``"faster"`` for faster-coco-eval,
``"lvis"``). ``line_value`` averages one line and ``line_label`` gives its
printed label, so that a drop-in prints and names exactly what its
reference does without a table of its own.

Examples
--------
>>> from vantorel import Params
>>> [line.key for line in summary_lines("faster", Axes.of(Params.for_type("bbox")))][:3]
['AP_all', 'AP_50', 'AP_75']
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np

from . import _zerlin
from .params import KEYPOINT_TYPES, WHOLEBODY_PARTS, WHOLEBODY_TYPES, Params

Naming = Literal["vantorel", "pycocotools", "faster", "lvis"]


@dataclass(frozen=True)
class Federated:
    """What the LVIS federated protocol reads beyond the annotations.

    Attributes
    ----------
    negative : list of (image id, category id)
        Categories verified absent from an image: its detections of them
        count (as false positives).
    non_exhaustive : list of (image id, category id)
        Categories not exhaustively annotated in an image: its unmatched
        detections of them are ignored.
    gt_ignore : list of bool or None
        Per ground truth (in the order given to the engine): left out of
        the evaluation. None for a ground-truth handle, whose file's
        "ignore" members the engine reads itself.
    max_det : int
        Each image keeps its ``max_det`` best detections over all categories.

    Examples
    --------
    >>> Federated.of_dataset({"images": [{"id": 1, "neg_category_ids": [3]}]}, [], 300).negative
    [(1, 3)]
    """

    negative: list[tuple[Any, Any]]
    non_exhaustive: list[tuple[Any, Any]]
    gt_ignore: list[bool] | None
    max_det: int

    @classmethod
    def of_dataset(cls, dataset: dict[str, Any], gt_anns: Iterable[Any], max_det: int) -> Federated:
        """The federated input an LVIS dataset's images and annotations carry."""
        images = dataset["images"]
        return cls(
            negative=[(img["id"], c) for img in images for c in img.get("neg_category_ids", [])],
            non_exhaustive=[(img["id"], c) for img in images for c in img.get("not_exhaustive_category_ids", [])],
            gt_ignore=None
            if isinstance(gt_anns, _zerlin.CompactBbox)
            else [bool(a.get("ignore", False)) for a in gt_anns],
            max_det=int(max_det),
        )


def evaluator(
    gt_anns: Any,
    dt_anns: Any,
    img_sizes: dict[Any, Any],
    p: Params,
    federated: Federated | None = None,
    range_by_image: Sequence[float] | None = None,
) -> _zerlin.Evaluator:
    """The native ``Evaluator`` of two annotation sides under ``p``; with
    ``federated``, the LVIS protocol: the engine keeps each image's best
    ``max_det`` detections of its verified categories (those of its ground
    truths and its negative ones), and leaves out annotations whose area is
    not in (0, inf). With ``range_by_image`` (one value per ``p.img_ids``),
    the area ranges test those values instead of the annotations' areas.
    "keypoints_crowd" and the whole-body types follow xtcocotools' rules
    (and so does a drop-in whose ``p`` has the attributes
    ``ranges_by_scale`` and ``skip_unscored`` set): a keypoint ground
    truth's range is tested on its similarity scale (0.53 x its box area
    when ``use_area`` is off), and results without a keypoint of positive
    confidence are left out; the whole-body types (and a drop-in's
    ``visibility_ignore``) ignore keypoint ground truths without a visible
    keypoint rather than by ``num_keypoints``. A whole-body type reads its
    part's keypoint lists (joined) and ranks results by its part score,
    warning as xtcocotools does where a result lacks it and its ``score``
    serves instead.

    Examples
    --------
    >>> ev = evaluator(gt_anns, dets, {}, Params.for_type("bbox"))  # doctest: +SKIP
    >>> ev.run()["precision"].shape  # doctest: +SKIP
    (10, 101, 80, 4, 3)
    """
    args = (
        gt_anns,
        dt_anns,
        img_sizes,
        list(p.img_ids),
        list(p.cat_ids),
        [float(t) for t in p.iou_thrs],
        [float(r) for r in p.rec_thrs],
        [int(m) for m in p.max_dets],
        [[float(lo), float(hi)] for lo, hi in p.area_rng],
        bool(p.use_cats),
        "keypoints" if p.iou_type in WHOLEBODY_TYPES else p.iou_type,  # the part's keypoints come as "keypoints"
        [float(s) for s in p.kpt_sigmas],
    )
    options: dict[str, Any] = {"use_area": bool(p.use_area), "boundary_dilation": float(p.boundary_dilation)}
    if range_by_image is not None:
        options["range_by_image"] = [float(v) for v in range_by_image]
    xtcocotools_rules = p.iou_type == "keypoints_crowd" or p.iou_type in WHOLEBODY_TYPES
    for name in ("ranges_by_scale", "skip_unscored"):
        if xtcocotools_rules or getattr(p, name, False):
            options[name] = True
    if p.iou_type in WHOLEBODY_TYPES or getattr(p, "visibility_ignore", False):
        options["visibility_ignore"] = True
    part = WHOLEBODY_PARTS.get(p.iou_type)
    if part is not None:
        options["keypoint_parts"] = list(part[0])
        options["part_score"] = part[1]
    if federated is None:
        ev = _zerlin.Evaluator(*args, **options)
    else:
        ev = _zerlin.federated_evaluator(federated.negative, federated.max_det, *args, **options)
        ev.configure_lvis(federated.gt_ignore, federated.non_exhaustive)
    if part is not None and part[1] is not None and ev.score_fallbacks():
        warnings.warn(f"{part[1]!r} not found, use 'score' instead.", UserWarning, stacklevel=3)
    return ev


# CrowdPose's difficulty split as xtcocotools draws it (its boundaries found
# by running it): easy below a crowd index of 0.2, medium from 0.2 to below
# 0.8, hard from 0.8. The engine's ranges hold both ends, so the upper ends
# are the doubles just below the next boundary.
CROWD_TYPES = ("easy", "medium", "hard")
CROWD_RANGES = [
    [-math.inf, math.nextafter(0.2, -math.inf)],
    [0.2, math.nextafter(0.8, -math.inf)],
    [0.8, math.inf],
]


def crowd_indexes(images: Iterable[dict[str, Any]], img_ids: Sequence[Any]) -> list[float]:
    """Each image's ``crowdIndex`` (in the order of ``img_ids``), as CrowdPose's
    ground truth carries it; ValueError naming the image when one lacks it.

    Examples
    --------
    >>> crowd_indexes([{"id": 1, "crowdIndex": 0.3}], [1])
    [0.3]
    """
    by_id = {img["id"]: img for img in images}
    out = []
    for i in img_ids:
        value = by_id.get(i, {}).get("crowdIndex")
        if isinstance(value, bool) or not isinstance(value, (int, float)) or math.isnan(value):
            raise ValueError(f"image {i!r}: 'crowdIndex' must be a number for keypoints_crowd; got {value!r}")
        out.append(float(value))
    return out


def crowd_evaluator(gt_anns: Any, dt_anns: Any, p: Params, crowd_index: Sequence[float]) -> _zerlin.Evaluator:
    """The evaluation of ``p`` split by the images' crowd index: its area
    ranges are ``CROWD_TYPES`` (each image's annotations and detections
    count in its own type only).

    Examples
    --------
    >>> split = crowd_evaluator(gt_anns, dets, params, crowd_index)  # doctest: +SKIP
    >>> split.run()["precision"].shape[3]  # doctest: +SKIP
    3
    """
    q = p.copy()
    q.area_rng = [list(r) for r in CROWD_RANGES]
    q.area_labels = list(CROWD_TYPES)
    return evaluator(gt_anns, dt_anns, {}, q, range_by_image=crowd_index)


def frequency_groups(categories: Iterable[dict[str, Any]], cat_ids: Sequence[Any]) -> dict[str, list[int]]:
    """Category positions (in ``cat_ids``, ascending) by LVIS frequency letter.

    Examples
    --------
    >>> frequency_groups([{"id": 7, "frequency": "r"}, {"id": 2, "frequency": "f"}], [2, 7])
    {'r': [1], 'f': [0]}
    """
    index = {c: k for k, c in enumerate(cat_ids)}
    groups: dict[str, list[int]] = {}
    for c in categories:
        if c["id"] in index and "frequency" in c:
            groups.setdefault(c["frequency"], []).append(index[c["id"]])
    # Ascending positions, whatever the file's category order: the group's
    # mean adds in that order, and the last bits depend on it.
    return {f: sorted(v) for f, v in groups.items()}


@dataclass(frozen=True)
class Axes:
    """What the summary reads of an evaluation's parameters: the IoU type,
    the IoU thresholds, the detection caps and the area labels, taken from
    the package's ``Params`` (``of``) or from a drop-in's (``of_reference``).

    Examples
    --------
    >>> Axes.of(Params.for_type("keypoints")).max_dets
    (20,)
    """

    iou_type: str
    iou_thrs: tuple[float, ...]
    max_dets: tuple[int, ...]
    area_labels: tuple[str, ...]

    @classmethod
    def of(cls, p: Params) -> Axes:
        """The axes of the package's ``Params``."""
        return cls(p.iou_type, tuple(map(float, p.iou_thrs)), tuple(map(int, p.max_dets)), tuple(p.area_labels))

    @classmethod
    def of_reference(cls, p: Any) -> Axes:
        """The axes of a pycocotools-shaped ``Params`` (``iouThrs``,
        ``maxDets``, ``areaRngLbl``) or an lvis-shaped one (``iou_thrs``,
        ``max_dets`` a single cap, ``area_rng_lbl``)."""
        if hasattr(p, "iouThrs"):
            return cls(p.iouType, tuple(map(float, p.iouThrs)), tuple(map(int, p.maxDets)), tuple(p.areaRngLbl))
        return cls(p.iou_type, tuple(map(float, p.iou_thrs)), (int(p.max_dets),), tuple(p.area_rng_lbl))


@dataclass(frozen=True)
class Line:
    """One summary line: the mean of precision (``ap``) or recall over the
    IoU threshold ``iou`` (all of them when None), the area range labelled
    ``area``, the detection cap ``max_det`` and, for LVIS's frequency lines,
    the categories of frequency ``group``; ``key`` is its name in the API
    the table was made for. A ``crowd`` line reads the crowd split's run
    (``crowd_evaluator``), ``area`` naming the type (easy, medium, hard).

    Examples
    --------
    >>> Line("AP50", True, 0.5, "all", 100).label([0.5, 0.95])
    'Average Precision  (AP) @[ IoU=0.50      | area=   all | maxDets=100 ]'
    """

    key: str
    ap: bool
    iou: float | None
    area: str
    max_det: int
    group: str | None = None
    crowd: bool = False

    def label(self, iou_thrs: Sequence[float], area: str | None = None) -> str:
        """The line as the reference evaluations print it (before " = value");
        ``area`` overrides the printed area name."""
        kind = "Average Precision  (AP)" if self.ap else "Average Recall     (AR)"
        rng = f"{iou_thrs[0]:0.2f}:{iou_thrs[-1]:0.2f}" if self.iou is None else f"{self.iou:0.2f}"
        shown = self.area if area is None else area
        axis = "type" if self.crowd else "area"
        return f"{kind} @[ IoU={rng:<9} | {axis}={shown:>6s} | maxDets={self.max_det:>3d} ]"


_CROWD_KEYS = {
    "vantorel": ["AP", "AP50", "AP75", "AR", "AR50", "AR75", "APeasy", "APmedium", "APhard"],
    "pycocotools": ["AP_all", "AP_50", "AP_75", "AR_all", "AR_50", "AR_75", "AP_easy", "AP_medium", "AP_hard"],
}
_KEYPOINT_KEYS = {
    "vantorel": ["AP", "AP50", "AP75", "APm", "APl", "AR", "AR50", "AR75", "ARm", "ARl"],
    "pycocotools": ["AP_all", "AP_50", "AP_75", "AP_medium", "AP_large",
                    "AR_all", "AR_50", "AR_75", "AR_medium", "AR_large"],
}  # fmt: skip


def summary_lines(naming: Naming, p: Axes, lvis: bool = False) -> list[Line]:
    """The summary lines an API computes, in its ``stats`` order.

    ``"vantorel"`` (``EvalResult``): AP, AP50, AP75, APs, APm, APl at the
    third cap (the last when fewer), AR at each of the three caps (AR1,
    AR10, AR100), ARs, ARm, ARl; keypoints AP, AP50, AP75, APm, APl, AR,
    AR50, AR75, ARm, ARl at 20; CrowdPose ("keypoints_crowd") AP, AP50,
    AP75, AR, AR50, AR75, APeasy, APmedium, APhard at 20; with ``lvis`` the
    LVIS lines.
    ``"pycocotools"``: the same lines but the first, which asks for 100
    detections whatever ``max_dets`` holds, keyed as faster-coco-eval keys
    them. ``"faster"``: every line at the last cap, one per area label and
    one recall line per cap ("AR_all", "AR_second", "AR_third" for [1, 10,
    100], else "AR_<cap>"); its recall at IoU 0.50 and 0.75 are
    ``extra_lines``. ``"lvis"``: AP, AP50, AP75, APs, APm, APl, APr, APc,
    APf, AR@N, ARs@N, ARm@N, ARl@N at the last cap N.

    Examples
    --------
    >>> [line.key for line in summary_lines("vantorel", Axes.of(Params.for_type("bbox")))][6:9]
    ['AR1', 'AR10', 'AR100']
    """
    caps = list(p.max_dets)
    last = caps[-1] if caps else 0
    if lvis or naming == "lvis":
        cap = last
        return [
            Line("AP", True, None, "all", cap), Line("AP50", True, 0.5, "all", cap),
            Line("AP75", True, 0.75, "all", cap), Line("APs", True, None, "small", cap),
            Line("APm", True, None, "medium", cap), Line("APl", True, None, "large", cap),
            Line("APr", True, None, "all", cap, "r"), Line("APc", True, None, "all", cap, "c"),
            Line("APf", True, None, "all", cap, "f"), Line(f"AR@{cap}", False, None, "all", cap),
            Line(f"ARs@{cap}", False, None, "small", cap), Line(f"ARm@{cap}", False, None, "medium", cap),
            Line(f"ARl@{cap}", False, None, "large", cap),
        ]  # fmt: skip
    if naming == "faster":
        return _faster_lines(p, last)
    if p.iou_type == "keypoints_crowd":
        keys = _CROWD_KEYS["vantorel" if naming == "vantorel" else "pycocotools"]
        shape = [(None, "all"), (0.5, "all"), (0.75, "all")]
        lines = [Line(k, n < 3, *shape[n % 3], 20) for n, k in enumerate(keys[:6])]
        return lines + [Line(k, True, None, t, 20, crowd=True) for k, t in zip(keys[6:], CROWD_TYPES, strict=True)]
    if p.iou_type in KEYPOINT_TYPES:
        keys = _KEYPOINT_KEYS["vantorel" if naming == "vantorel" else "pycocotools"]
        shape = [(None, "all"), (0.5, "all"), (0.75, "all"), (None, "medium"), (None, "large")]
        return [Line(k, n < 5, *shape[n % 5], 20) for n, k in enumerate(keys)]
    first, second = caps[0], caps[1] if len(caps) > 1 else last
    third = caps[2] if len(caps) > 2 else last
    if naming == "vantorel":
        keys = ["AP", "AP50", "AP75", "APs", "APm", "APl",
                f"AR{first}", f"AR{second}", f"AR{third}", "ARs", "ARm", "ARl"]  # fmt: skip
    else:
        keys = ["AP_all", "AP_50", "AP_75", "AP_small", "AP_medium", "AP_large",
                "AR_all", "AR_second", "AR_third", "AR_small", "AR_medium", "AR_large"]  # fmt: skip
    # The reference's first line asks for 100 detections whatever max_dets holds.
    top = third if naming == "vantorel" else 100
    return [
        Line(keys[0], True, None, "all", top), Line(keys[1], True, 0.5, "all", third),
        Line(keys[2], True, 0.75, "all", third), Line(keys[3], True, None, "small", third),
        Line(keys[4], True, None, "medium", third), Line(keys[5], True, None, "large", third),
        Line(keys[6], False, None, "all", first), Line(keys[7], False, None, "all", second),
        Line(keys[8], False, None, "all", third), Line(keys[9], False, None, "small", third),
        Line(keys[10], False, None, "medium", third), Line(keys[11], False, None, "large", third),
    ]  # fmt: skip


def _faster_lines(p: Axes, last: int) -> list[Line]:
    areas = list(p.area_labels[1:])
    lines: list[Line] = []
    if p.iou_type in KEYPOINT_TYPES:
        for kind, ap in (("AP", True), ("AR", False)):
            lines += [Line(f"{kind}_all", ap, None, "all", last), Line(f"{kind}_50", ap, 0.5, "all", last),
                      Line(f"{kind}_75", ap, 0.75, "all", last)]  # fmt: skip
            lines += [Line(f"{kind}_{a}", ap, None, a, last) for a in areas]
        return lines
    lines = [Line("AP_all", True, None, "all", last), Line("AP_50", True, 0.5, "all", last),
             Line("AP_75", True, 0.75, "all", last)]  # fmt: skip
    lines += [Line(f"AP_{a}", True, None, a, last) for a in areas]
    caps = list(p.max_dets)
    ar_names = ["AR_all", "AR_second", "AR_third"] if caps == [1, 10, 100] else [f"AR_{m}" for m in caps]
    lines += [Line(n, False, None, "all", m) for n, m in zip(ar_names, caps, strict=False)]
    lines += [Line(f"AR_{a}", False, None, a, last) for a in areas]
    return lines


def extra_lines(p: Axes) -> list[Line]:
    """The recall at IoU 0.50 and 0.75 at the last cap ("AR_50", "AR_75"),
    which faster-coco-eval prints and names after the summary (and
    pycocotools-shaped ``stats_as_dict`` adds) without putting them in
    ``stats``; none for keypoints, whose summary has them.

    Examples
    --------
    >>> [line.key for line in extra_lines(Axes.of(Params.for_type("bbox")))]
    ['AR_50', 'AR_75']
    """
    if p.iou_type in KEYPOINT_TYPES:
        return []
    last = p.max_dets[-1] if p.max_dets else 0
    return [Line("AR_50", False, 0.5, "all", last), Line("AR_75", False, 0.75, "all", last)]


def line_value(
    line: Line,
    precision: np.ndarray,
    recall: np.ndarray,
    p: Axes,
    groups: dict[str, list[int]] | None = None,
) -> float:
    """The mean of a line's slice over the cells that have a value (-1 when
    none has), as the reference evaluations average; a frequency line
    averages the categories of its group (none when ``groups`` lacks it).

    Examples
    --------
    >>> axes = Axes.of(params)  # doctest: +SKIP
    >>> line_value(summary_lines("vantorel", axes)[0], run["precision"], run["recall"], axes)  # doctest: +SKIP
    0.505
    """
    source = precision if line.ap else recall
    thresholds = np.asarray(p.iou_thrs)
    ts = list(range(len(thresholds))) if line.iou is None else np.flatnonzero(thresholds == line.iou).tolist()
    areas = [a for a, label in enumerate(p.area_labels) if label == line.area]
    caps = [m for m, cap in enumerate(p.max_dets) if cap == line.max_det]
    cats = list(range(source.shape[-3])) if line.group is None else list((groups or {}).get(line.group, []))
    if len(areas) == 1 and len(caps) == 1:
        values = _zerlin.summary_values(source, ts, cats, areas[0], caps[0])
    else:  # a repeated area label or cap: every match, as the reference's fancy indexing takes them
        picked = np.asarray(source)[ts][..., cats, :, :][..., areas, caps]
        values = picked[picked > -1]
    return float(np.mean(values)) if values.size else -1.0


def summarize(
    arrays: dict[str, Any],
    p: Params,
    lvis: bool,
    groups: dict[str, list[int]] | None,
    crowd: dict[str, Any] | None = None,
) -> tuple[np.ndarray, list[str]]:
    """``EvalResult``'s statistics of a run and their names: the printed
    labels, or LVIS's short names; ``crowd`` is the crowd split's run, which
    CrowdPose's last lines read.

    Examples
    --------
    >>> stats, names = summarize(evaluator.run(), params, False, None)  # doctest: +SKIP
    """
    axes = Axes.of(p)
    lines = summary_lines("vantorel", axes, lvis)
    stats = np.array([line_stat(line, arrays, axes, crowd, groups) for line in lines])
    names = [line.key if lvis else line.label(axes.iou_thrs) for line in lines]
    return stats, names


def line_stat(
    line: Line,
    arrays: dict[str, Any],
    p: Axes,
    crowd: dict[str, Any] | None = None,
    groups: dict[str, list[int]] | None = None,
) -> float:
    """``line_value`` of the run ``arrays``, or of the crowd split's run for
    a crowd line (-1 without one).

    Examples
    --------
    >>> line_stat(summary_lines("vantorel", axes)[0], ev.run(), axes)  # doctest: +SKIP
    0.505
    """
    if not line.crowd:
        return line_value(line, arrays["precision"], arrays["recall"], p, groups)
    if crowd is None:
        return -1.0
    split = Axes(p.iou_type, p.iou_thrs, p.max_dets, CROWD_TYPES)
    return line_value(line, crowd["precision"], crowd["recall"], split, groups)
