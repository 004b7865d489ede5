"""The results conventions every API of the package follows, in one place.

What kind of results a list holds (decided by its first result, as the
reference loaders decide), how results are completed (the fields the
reference's loader derives: area, id, iscrowd, a box from a mask or from
keypoints), Nx7 arrays as result dicts, and a segmentation as one
compressed RLE. ``vantorel.evaluate``, the streaming evaluator, the
analysis functions and the drop-ins all read results through these.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _zerlin


def result_kind(anns: list[Any]) -> str | None:
    """How results are completed, decided like the reference loader by the
    first result alone: a caption ("caption"), then a non-empty box
    ("bbox"), then a segmentation ("segm"), then keypoints; None when none
    of these (or no result) is there.

    Examples
    --------
    >>> result_kind([{"segmentation": {"size": [1, 1], "counts": "01"}, "bbox": [0, 0, 1, 1]}])
    'bbox'
    >>> result_kind([{"caption": "a cat", "image_id": 1}])
    'caption'
    """
    if not anns:
        return None
    first = anns[0]
    if "caption" in first:
        return "caption"
    if "bbox" in first and first["bbox"] != []:
        return "bbox"
    if "segmentation" in first:
        return "segm"
    if "keypoints" in first:
        return "keypoints"
    return None


def completion_kind(anns: list[Any]) -> str:
    """The completion the package's own loader gives: a box, a segmentation
    or keypoints (so segm results that carry boxes get box areas there too);
    anything else is read as boxes.

    Examples
    --------
    >>> completion_kind([])
    'bbox'
    """
    kind = result_kind(anns)
    return kind if kind in ("segm", "keypoints") else "bbox"


def array_rows(results: np.ndarray) -> np.ndarray:
    """An Nx7 result array [image_id, x, y, w, h, score, category_id] as
    float32 or float64 rows; anything else is refused with ValueError.

    Examples
    --------
    >>> array_rows(np.zeros((2, 7), dtype=np.int32)).dtype
    dtype('float64')
    """
    if results.ndim != 2 or results.shape[1] != 7:
        raise ValueError("result arrays must have 7 columns")
    if results.dtype not in (np.float64, np.float32):
        results = results.astype(np.float64)
    return results


def rows_as_dicts(rows: np.ndarray, numpy_values: bool = False) -> list[dict[str, Any]]:
    """Result dicts of Nx7 rows: ids as ints, box and score as Python floats,
    or, with ``numpy_values``, as the rows' NumPy scalars (as pycocotools'
    ``loadNumpyAnnotations`` gives them).

    Examples
    --------
    >>> rows_as_dicts(np.array([[1, 0, 0, 2, 3, 0.9, 5]]))
    [{'image_id': 1, 'bbox': [0.0, 0.0, 2.0, 3.0], 'score': 0.9, 'category_id': 5}]
    """
    source: Any = rows if numpy_values else rows.tolist()
    return [
        {"image_id": int(r[0]), "bbox": [r[1], r[2], r[3], r[4]], "score": r[5], "category_id": int(r[6])}
        for r in source
    ]


def segmentation_rle(segm: Any, h: int, w: int) -> Any:
    """A segmentation as one compressed RLE at an image of ``h`` x ``w``:
    polygons merged into one mask, an uncompressed RLE compressed, a
    compressed RLE as it is (as the reference's ``annToRLE`` gives it).

    Examples
    --------
    >>> segmentation_rle([[0, 0, 4, 0, 4, 4]], 5, 5)["size"]
    [5, 5]
    """
    if isinstance(segm, list):
        rles = _zerlin.frPyObjects(segm, h, w)
        return _zerlin.merge(rles if isinstance(rles, list) else [rles])
    if isinstance(segm["counts"], list):
        return _zerlin.frPyObjects(segm, h, w)
    return segm


def complete_results(anns: list[Any]) -> None:
    """Fills area, id, iscrowd (and bbox where derived) of result dicts in place.

    Examples
    --------
    >>> anns = [{"image_id": 1, "category_id": 1, "bbox": [0, 0, 2, 3], "score": 1.0}]
    >>> complete_results(anns)
    >>> anns[0]["area"], anns[0]["id"], anns[0]["iscrowd"]
    (6, 1, 0)
    """
    if not anns:
        return
    kind = completion_kind(anns)
    if kind == "bbox":
        _zerlin.prepare_bbox_results(anns)
        return
    if kind == "segm":
        segs = [a["segmentation"] for a in anns]
        rle_areas = _zerlin.area(segs)
        rle_boxes = _zerlin.toBbox(segs)
        for i, a in enumerate(anns):
            a["area"] = float(rle_areas[i])
            if "bbox" not in a:
                a["bbox"] = rle_boxes[i].tolist()
            a["id"] = i + 1
            a["iscrowd"] = 0
        return
    # Keypoints: the box spans the keypoints and the area is the box's.
    lengths = {len(a["keypoints"]) for a in anns}
    areas: list[Any]
    boxes: list[Any]
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
