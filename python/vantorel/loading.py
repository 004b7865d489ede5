"""Loading ground truth and results: paths, loaded objects, arrays and compact handles.

A path loads as a compact handle where the file's grammar allows it (no
Python object per annotation); otherwise as dicts, completed as the
reference loader completes them.
"""

from __future__ import annotations

import contextlib
import gc
import os
from typing import Any

import numpy as np

from . import _zerlin

# Files longer than this keep no geometry spans in a compact handle, so a
# ground-truth handle of that size could not give masks.
_SPAN_FILE_LIMIT = 0xFFFFFFFE


def load_dataset(gt: str | os.PathLike | dict) -> dict:
    """A ground-truth dataset dict, from a path or an already-loaded dict."""
    if isinstance(gt, dict):
        return gt
    with gc_paused():
        return _zerlin.load_json(os.fspath(gt))


def ground_truth_side(gt: Any, iou_type: str, lvis: bool) -> tuple[dict, Any]:
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
    if lvis or (masks and os.path.getsize(path) > _SPAN_FILE_LIMIT):
        dataset = load_dataset(path)
        return dataset, dataset["annotations"]
    with gc_paused():
        dataset, handle, _ = _zerlin.load_compact_or_objects(path)
    if handle is not None:
        return dataset, handle
    return dataset, dataset["annotations"]


_DERIVED_KEYS = ("area", "id", "iscrowd")


@contextlib.contextmanager
def gc_paused():
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
    with gc_paused():
        if isinstance(results, _zerlin.CompactBbox):
            return _load_results(results.array_rows()) if results.from_array else results.annotations()
        return _load_results(results)


def results_side(results: Any) -> Any:
    """Results for the Evaluator: a ``CompactBbox`` where one serves, else
    completed dicts.

    A results file loads, in one reading, as a compact handle whose derived
    fields are the reference loader's (id = position + 1; area = box w * h,
    or for results without boxes the mask's area or the keypoints' box area,
    with the box derived as well); no dict is made per detection. Files the
    compact grammar refuses (polygon results without boxes, repeated keys,
    ...) come back as objects from the same reading, completed like the
    reference loader completes them.
    """
    if isinstance(results, _zerlin.CompactBbox):
        return results
    if isinstance(results, np.ndarray):
        return _zerlin.load_compact_array(_array_rows(results))
    if not isinstance(results, (str, os.PathLike)):
        with gc_paused():
            return _load_results(results)
    with gc_paused():
        anns, handle, refusal = _zerlin.load_compact_or_objects(os.fspath(results), results=True)
        if handle is not None:
            return handle
        return _completed_results(anns, refused=ValueError(refusal))


def _results_from_json(path: str) -> list:
    """A results file as completed dicts."""
    with gc_paused():
        return _completed_results(_zerlin.load_json(path))  # a malformed file fails here, with the reader's position


def _completed_results(anns: Any, refused: ValueError | None = None) -> list:
    """A loaded results document as completed dicts. When the compact loader
    refused the file too, the more useful of the two errors is raised."""
    with gc_paused():
        if not isinstance(anns, list):
            raise ValueError("a results file must hold a JSON array of detections")
        try:
            complete_results(anns)  # our own fresh objects: fill in place
        except Exception as err:
            # For results meant as boxes the compact refusal names the record
            # and its position; for the other kinds completion's own error
            # says more.
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


@contextlib.contextmanager
def naming_file(what: str, source: Any):
    """Names the file in a loading error, whose own text cannot say which
    of the two files it came from."""
    try:
        yield
    except (OSError, ValueError) as err:
        if isinstance(source, (str, os.PathLike)):
            err.add_note(f"while loading the {what} file '{os.fspath(source)}'")
        raise


def check_result_images(dets: Any, dataset: dict) -> None:
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
