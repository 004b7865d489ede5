"""COCO and LVIS evaluation front end.

Loads ground truth and results, builds one ``Evaluator`` with the reference
protocol's default parameters, runs it and computes the standard summary
statistics from the returned arrays.
"""

from __future__ import annotations

import contextlib
import gc
import os
from dataclasses import dataclass, field
from typing import Any, Iterable, Sequence

import numpy as np

from . import _zerlin

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


# ---------------------------------------------------------------- loading

# Files longer than this keep no geometry spans in a compact handle, so a
# ground-truth handle of that size could not give masks.
_SPAN_FILE_LIMIT = 0xFFFFFFFE


def load_dataset(gt: str | os.PathLike | dict) -> dict:
    """A ground-truth dataset dict, from a path or an already-loaded dict."""
    if isinstance(gt, dict):
        return gt
    with _gc_paused():
        return _zerlin.load_json(os.fspath(gt))


def _ground_truth(gt: Any, iou_type: str, lvis: bool) -> tuple[dict, Any]:
    """The dataset dict and the ground-truth side for the Evaluator.

    A path loads as a compact handle (its dataset dict holds every member
    but the annotations, which stay in columns and the file's bytes). Files
    the compact grammar refuses (duplicate or missing ids, float crowd flags,
    ...) load as dicts instead; so does LVIS ground truth, whose "ignore"
    flags the columns do not keep.
    """
    if isinstance(gt, dict):
        return gt, gt["annotations"]
    path = os.fspath(gt)
    masks = iou_type in ("segm", "boundary")
    if not lvis and not (masks and os.path.getsize(path) > _SPAN_FILE_LIMIT):
        try:
            return _zerlin.load_compact_bbox(path)
        except ValueError:
            pass  # the reader's message, if the JSON itself is bad, comes from load_json
    dataset = load_dataset(path)
    return dataset, dataset["annotations"]


_DERIVED_KEYS = ("area", "id", "iscrowd")


@contextlib.contextmanager
def _gc_paused():
    """Pauses the cyclic collector while hundreds of thousands of acyclic
    objects are made: every collection it would start meanwhile walks all of
    them again, and none of them can be garbage."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def load_results(results: Any) -> list:
    """Result dicts completed as the reference loader completes them.

    ``results`` may be a path, a list of dicts (never changed: where fields
    must be filled in, copies are made), an Nx7 array
    [image_id, x, y, w, h, score, category_id] or a ``CompactBbox``.
    """
    if isinstance(results, (str, os.PathLike)):
        return _results_from_json(os.fspath(results))
    with _gc_paused():
        if isinstance(results, _zerlin.CompactBbox):
            return _load_results(results.array_rows()) if results.from_array else results.annotations()
        return _load_results(results)


def _results_side(results: Any) -> Any:
    """Results for the Evaluator: a ``CompactBbox`` where one serves, else
    completed dicts.

    A results file loads as a compact handle, whose derived fields (id =
    position + 1, area = box w * h, not crowd) are the reference loader's for
    files whose records all carry a box; no dict is made per detection. Files
    the compact grammar refuses (segmentation or keypoint results without
    boxes, float crowd flags, ...) load as dicts, completed like the
    reference loader completes them.
    """
    if isinstance(results, _zerlin.CompactBbox):
        return results
    if isinstance(results, np.ndarray):
        return _zerlin.load_compact_array(_array_rows(results))
    if not isinstance(results, (str, os.PathLike)):
        with _gc_paused():
            return _load_results(results)
    path = os.fspath(results)
    try:
        return _zerlin.load_compact_bbox(path, results=True)[1]
    except ValueError as err:
        return _results_from_json(path, refused=err)


def _results_from_json(path: str, refused: ValueError | None = None) -> list:
    """A results file as completed dicts. When the compact loader refused
    the file too, the more useful of the two errors is raised."""
    with _gc_paused():
        anns = _zerlin.load_json(path)  # a malformed file fails here, with the reader's position
        if not isinstance(anns, list):
            raise ValueError("a results file must hold a JSON array of detections")
        try:
            complete_results(anns)  # our own fresh objects: fill in place
        except Exception as err:
            # For results meant as boxes the compact refusal names the record
            # and its position; for other kinds it only says a box is missing.
            if refused is not None and _meant_as_boxes(anns):
                raise refused from err
            raise
    return anns


def _meant_as_boxes(anns: list) -> bool:
    first = anns[0] if anns else None
    return not isinstance(first, dict) or _result_kind(anns) == "bbox"


def _array_rows(results: np.ndarray) -> np.ndarray:
    if results.ndim != 2 or results.shape[1] != 7:
        raise ValueError("result arrays must have 7 columns")
    if results.dtype not in (np.float64, np.float32):
        results = results.astype(np.float64)
    return results


def _load_results(results: Any) -> list:
    """Result dicts from a list or an Nx7 array, completed."""
    if isinstance(results, np.ndarray):
        anns = [
            {"image_id": int(r[0]), "bbox": [r[1], r[2], r[3], r[4]], "score": r[5], "category_id": int(r[6])}
            for r in _array_rows(results).tolist()
        ]
        complete_results(anns)
        return anns
    anns = results if isinstance(results, list) else list(results)
    if anns and _result_kind(anns) == "bbox" and not any(k in a for a in anns for k in _DERIVED_KEYS):
        # The evaluator's defaults for absent fields are exactly what the
        # reference loader would fill in (id = position + 1, area = w * h,
        # not crowd), so the caller's dicts serve as they are.
        return anns
    anns = [dict(a) for a in anns]
    complete_results(anns)
    return anns


def _result_kind(anns: list) -> str:
    """How results are completed: like the reference loader, decided by the
    first result alone: a non-empty box wins, then a segmentation, then
    keypoints (so segm results that carry boxes get box areas there too)."""
    first = anns[0]
    if "bbox" in first and first["bbox"] != []:
        return "bbox"
    if "segmentation" in first:
        return "segm"
    if "keypoints" in first:
        return "keypoints"
    return "bbox"


def complete_results(anns: list) -> None:
    """Fills area, id, iscrowd (and bbox where derived) of result dicts in place."""
    if not anns:
        return
    kind = _result_kind(anns)
    if kind == "bbox":
        _zerlin.prepare_bbox_results(anns)
        return
    if kind == "segm":
        segs = [a["segmentation"] for a in anns]
        areas = _zerlin.area(segs)
        boxes = _zerlin.toBbox(segs)
        for i, a in enumerate(anns):
            a["area"] = float(areas[i])
            if "bbox" not in a:
                a["bbox"] = boxes[i].tolist()
            a["id"] = i + 1
            a["iscrowd"] = 0
        return
    # Keypoints: the box spans the keypoints and the area is the box's.
    lengths = {len(a["keypoints"]) for a in anns}
    if len(lengths) == 1 and 0 not in lengths:
        kps = np.array([a["keypoints"] for a in anns], dtype=np.float64)
        x, y = kps[:, 0::3], kps[:, 1::3]
        x0, x1, y0, y1 = x.min(1), x.max(1), y.min(1), y.max(1)
        areas = ((x1 - x0) * (y1 - y0)).tolist()
        boxes = np.stack([x0, y0, x1 - x0, y1 - y0], 1).tolist()
    else:
        areas, boxes = [], []
        for a in anns:
            s = a["keypoints"]
            xs, ys = s[0::3], s[1::3]
            x0, x1, y0, y1 = min(xs), max(xs), min(ys), max(ys)
            areas.append((x1 - x0) * (y1 - y0))
            boxes.append([x0, y0, x1 - x0, y1 - y0])
    for i, a in enumerate(anns):
        a["area"] = areas[i]
        a["id"] = i + 1
        a["bbox"] = boxes[i]


# ---------------------------------------------------------------- evaluation


@dataclass
class EvalResult:
    params: Params
    precision: np.ndarray
    recall: np.ndarray
    scores: np.ndarray
    stats: np.ndarray
    stat_names: list
    cat_names: dict = field(default_factory=dict)
    timings: dict = field(default_factory=dict)

    def category_ap(self) -> list:
        """(category id, name, AP over all thresholds, area 'all', the last max_dets) per category."""
        rows = []
        m = len(self.params.max_dets) - 1
        thresholds = list(range(self.precision.shape[0]))
        for k, cid in enumerate(self.params.cat_ids if self.params.use_cats else [-1]):
            v = _zerlin.summary_values(self.precision, thresholds, [k], 0, m)
            rows.append((cid, self.cat_names.get(cid, str(cid)), float(np.mean(v)) if v.size else -1.0))
        return rows

    def summary_lines(self) -> list:
        return [f" {name} = {value:0.3f}" for name, value in zip(self.stat_names, self.stats)]


def _mean(values: np.ndarray) -> float:
    return float(np.mean(values)) if values.size else -1.0


def _summary(res: dict, p: Params, lvis: bool, freq_groups: dict | None) -> tuple[np.ndarray, list]:
    precision, recall = res["precision"], res["recall"]
    all_t = list(range(len(p.iou_thrs)))
    all_k = list(range(precision.shape[2]))
    area_index = {label: i for i, label in enumerate(p.area_labels)}

    def t_index(thr):
        found = np.where(np.asarray(p.iou_thrs) == thr)[0]
        return [int(i) for i in found]

    def line(ap: bool, iou=None, area="all", max_det=None, cats=None):
        max_det = p.max_dets[-1] if max_det is None else max_det
        ts = all_t if iou is None else t_index(iou)
        ms = [i for i, m in enumerate(p.max_dets) if m == max_det]
        if area not in area_index or not ms:
            return -1.0
        values = _zerlin.summary_values(
            precision if ap else recall, ts, all_k if cats is None else cats, area_index[area], ms[0]
        )
        return _mean(values)

    def name(ap, iou=None, area="all", max_det=None):
        max_det = p.max_dets[-1] if max_det is None else max_det
        kind = "Average Precision  (AP)" if ap else "Average Recall     (AR)"
        rng = f"{p.iou_thrs[0]:0.2f}:{p.iou_thrs[-1]:0.2f}" if iou is None else f"{iou:0.2f}"
        return f"{kind} @[ IoU={rng:<9} | area={area:>6s} | maxDets={max_det:>3d} ]"

    if lvis:
        cap = p.max_dets[-1]
        lines = [
            ("AP", line(True)),
            ("AP50", line(True, iou=0.5)),
            ("AP75", line(True, iou=0.75)),
            ("APs", line(True, area="small")),
            ("APm", line(True, area="medium")),
            ("APl", line(True, area="large")),
            ("APr", line(True, cats=freq_groups.get("r", []))),
            ("APc", line(True, cats=freq_groups.get("c", []))),
            ("APf", line(True, cats=freq_groups.get("f", []))),
            (f"AR@{cap}", line(False)),
            (f"ARs@{cap}", line(False, area="small")),
            (f"ARm@{cap}", line(False, area="medium")),
            (f"ARl@{cap}", line(False, area="large")),
        ]
        return np.array([v for _, v in lines]), [n for n, _ in lines]

    if p.iou_type == "keypoints":
        lines = [
            (True, None, "all", 20),
            (True, 0.5, "all", 20),
            (True, 0.75, "all", 20),
            (True, None, "medium", 20),
            (True, None, "large", 20),
            (False, None, "all", 20),
            (False, 0.5, "all", 20),
            (False, 0.75, "all", 20),
            (False, None, "medium", 20),
            (False, None, "large", 20),
        ]
    else:
        big = p.max_dets[2] if len(p.max_dets) > 2 else p.max_dets[-1]
        lines = [
            (True, None, "all", big),
            (True, 0.5, "all", big),
            (True, 0.75, "all", big),
            (True, None, "small", big),
            (True, None, "medium", big),
            (True, None, "large", big),
            (False, None, "all", p.max_dets[0]),
            (False, None, "all", p.max_dets[1] if len(p.max_dets) > 1 else p.max_dets[-1]),
            (False, None, "all", big),
            (False, None, "small", big),
            (False, None, "medium", big),
            (False, None, "large", big),
        ]
    return np.array([line(*s) for s in lines]), [name(*s) for s in lines]


def _lvis_inputs(dataset: dict, gt_anns: list, results: Any, max_det: int) -> tuple[list, list, list]:
    """Applies the federated rules that live outside the engine: each image
    keeps its max_det best detections (over all categories, stable by score),
    and of those the ones of its verified categories (present or negative);
    the pairs flagged non-exhaustive come from the image records."""
    verified: dict = {}
    for img in dataset["images"]:
        verified[img["id"]] = set(img.get("neg_category_ids", []))
    for a in gt_anns:
        verified.setdefault(a["image_id"], set()).add(a["category_id"])
    side = _results_side(results)
    if isinstance(side, _zerlin.CompactBbox) and not side.from_array:
        # Dicts only for the detections kept, chosen from the handle's columns.
        with _gc_paused():
            kept = side.lvis_annotations(list(verified), set().union(*verified.values()), verified, max_det)
    else:
        dets = side if isinstance(side, list) else load_results(side)
        dets = _cap_per_image(dets, max_det)
        kept = [d for d in dets if d["category_id"] in verified.get(d["image_id"], ())]
    non_exhaustive = [
        (img["id"], c) for img in dataset["images"] for c in img.get("not_exhaustive_category_ids", [])
    ]
    gt_ignore = [bool(a.get("ignore", False)) for a in gt_anns]
    return kept, non_exhaustive, gt_ignore


def _cap_per_image(dets: list, max_det: int) -> list:
    """Keeps each image's max_det best-scoring detections, in input order."""
    by_image: dict = {}
    for i, d in enumerate(dets):
        by_image.setdefault(d["image_id"], []).append(i)
    keep = np.zeros(len(dets), dtype=bool)
    for rows in by_image.values():
        if len(rows) > max_det:
            scores = np.array([dets[i]["score"] for i in rows])
            order = np.argsort(-scores, kind="stable")[:max_det]
            keep[np.asarray(rows)[order]] = True
        else:
            keep[rows] = True
    return [d for d, k in zip(dets, keep) if k]


@contextlib.contextmanager
def _loading(what: str, source: Any):
    """Names the file in a loading error, whose own text cannot say which
    of the two files it came from."""
    try:
        yield
    except (OSError, ValueError) as err:
        if isinstance(source, (str, os.PathLike)):
            err.add_note(f"while loading the {what} file '{os.fspath(source)}'")
        raise


def _check_result_images(dets: Any, dataset: dict) -> None:
    """Results naming an image the ground truth lacks are a mismatched pair of
    files, not something to evaluate quietly (the reference loader refuses
    them too)."""
    known = [img["id"] for img in dataset["images"]]
    if isinstance(dets, _zerlin.CompactBbox):
        ok = dets.valid_images(known)
    else:
        known_set = set(known)
        ok = all(d["image_id"] in known_set for d in dets)
    if not ok:
        raise ValueError("results name images that the ground truth does not have")


def evaluate(
    gt: str | os.PathLike | dict,
    results: Any,
    iou_type: str = "bbox",
    *,
    lvis: bool = False,
    params: Params | None = None,
) -> EvalResult:
    """Evaluates results against ground truth and returns arrays and summary statistics.

    ``gt`` is a dataset path or dict; ``results`` a path, a list of result
    dicts, an Nx7 array or a ``CompactBbox``. ``lvis`` selects the LVIS
    federated protocol.
    """
    p = params or Params.for_type(iou_type, lvis=lvis)
    with _loading("ground-truth", gt):
        dataset, gt_anns = _ground_truth(gt, p.iou_type, lvis)
    if not p.img_ids:
        p.img_ids = sorted(img["id"] for img in dataset["images"])
    if not p.cat_ids:
        p.cat_ids = sorted(c["id"] for c in dataset["categories"])
    non_exhaustive = gt_ignore = None
    with _loading("results", results):
        if lvis:
            dets, non_exhaustive, gt_ignore = _lvis_inputs(dataset, gt_anns, results, p.max_dets[-1])
        else:
            dets = _results_side(results)
    _check_result_images(dets, dataset)
    # Sizes only matter for masks; a box evaluation of images without them is fine.
    img_sizes = {img["id"]: (img["height"], img["width"]) for img in dataset["images"] if "height" in img and "width" in img}
    ev = _zerlin.Evaluator(
        gt_anns,
        dets,
        img_sizes,
        p.img_ids,
        p.cat_ids,
        list(map(float, p.iou_thrs)),
        list(map(float, p.rec_thrs)),
        list(p.max_dets),
        [list(map(float, r)) for r in p.area_rng],
        p.use_cats,
        p.iou_type,
        list(map(float, p.kpt_sigmas)),
        use_area=p.use_area,
        boundary_dilation=p.boundary_dilation,
    )
    freq_groups = None
    if lvis:
        ev.configure_lvis(gt_ignore, non_exhaustive)
        index = {c: k for k, c in enumerate(p.cat_ids)}
        freq_groups = {}
        for c in dataset["categories"]:
            if c["id"] in index and "frequency" in c:
                freq_groups.setdefault(c["frequency"], []).append(index[c["id"]])
    res = ev.run()
    stats, names = _summary(res, p, lvis, freq_groups)
    return EvalResult(
        params=p,
        precision=res["precision"],
        recall=res["recall"],
        scores=res["scores"],
        stats=stats,
        stat_names=names,
        cat_names={c["id"]: c.get("name", str(c["id"])) for c in dataset["categories"]},
        timings=ev.timings(),
    )


def format_category_table(rows: Iterable[Sequence]) -> str:
    lines = [f"{'category':>24s} | {'id':>6s} | AP"]
    for cid, cname, ap in rows:
        lines.append(f"{cname[:24]:>24s} | {cid:>6d} | {ap:0.3f}")
    return "\n".join(lines)
