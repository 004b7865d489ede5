"""Detections as fixed-width rows for streaming evaluation.

A batch of results in any accepted form (result dicts, an Nx7 array,
per-image arrays) becomes one structured NumPy array of rows plus, for
masks and keypoints, one bytes buffer the rows point into. Nothing here
keeps a Python object per detection once a batch is converted.
"""

from __future__ import annotations

import operator
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np

from . import _zerlin
from ._conventions import segmentation_rle

# Which optional fields a result carried; rebuilding a result dict at
# evaluation time gives exactly these keys back.
HAS_BOX, HAS_MASK, HAS_KEYPOINTS = 1, 2, 4

_BOX_FIELDS: list[Any] = [("image_id", "<i8"), ("category_id", "<i8"), ("score", "<f8"), ("box", "<f8", (4,))]
# For masks: blob_end ends the compressed counts in the buffer, height and
# width are the RLE's own size. For keypoints: blob_end ends the float64
# coordinates, height and width are unused.
_GEOMETRY_FIELDS: list[Any] = [*_BOX_FIELDS, ("fields", "u1"), ("blob_end", "<u8"), ("height", "<u4"), ("width", "<u4")]

_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


def row_dtype(iou_type: str) -> np.dtype[Any]:
    """The row layout of an evaluation type: 56 bytes per box detection."""
    return np.dtype(_BOX_FIELDS if iou_type == "bbox" else _GEOMETRY_FIELDS)


class Batch(NamedTuple):
    """Rows of one batch and its geometry bytes; ``blob_end`` counts from
    the start of ``blob``."""

    rows: np.ndarray
    blob: bytes


class RowTable:
    """Rows of one structured dtype, appended in chunks.

    Full chunks are kept as they are and never written again; only the
    open chunk has spare room, and it is sized to a sixteenth of the rows
    held, so the slack stays under 1/16 of the state without the copies a
    doubling array makes.
    """

    _MIN_CHUNK = 1024

    def __init__(self, dtype: np.dtype[Any]) -> None:
        self.dtype = dtype
        self.clear()

    def clear(self) -> None:
        self._full: list[np.ndarray] = []
        self._full_rows = 0
        self._open = np.empty(0, self.dtype)
        self._fill = 0

    def __len__(self) -> int:
        return self._full_rows + self._fill

    @property
    def nbytes(self) -> int:
        """Bytes held, spare room included."""
        return sum(c.nbytes for c in self._full) + self._open.nbytes

    def append(self, rows: np.ndarray) -> None:
        pos, n = 0, len(rows)
        while pos < n:
            room = len(self._open) - self._fill
            if room == 0:
                if self._fill:
                    self._full.append(self._open)
                    self._full_rows += self._fill
                self._open = np.empty(max(self._MIN_CHUNK, len(self) // 16, n - pos), self.dtype)
                self._fill, room = 0, len(self._open)
            take = min(room, n - pos)
            self._open[self._fill : self._fill + take] = rows[pos : pos + take]
            self._fill += take
            pos += take

    def adopt(self, rows: np.ndarray) -> None:
        """Appends rows by keeping the array itself (read-only use: full
        chunks are never written), so that states merge and unpickle
        without a copy. Small arrays are copied into the open chunk."""
        if len(rows) <= len(self._open) - self._fill or len(rows) < self._MIN_CHUNK:
            self.append(rows)
            return
        if self._fill:
            self._full.append(self._open[: self._fill])
            self._full_rows += self._fill
        self._open, self._fill = np.empty(0, self.dtype), 0
        self._full.append(rows)
        self._full_rows += len(rows)

    def chunks(self) -> list[np.ndarray]:
        """The rows in order, as views of the chunks (valid until the next
        change)."""
        return [*self._full, self._open[: self._fill]]

    def rows(self) -> np.ndarray:
        """All rows in order, as one new array."""
        return np.concatenate(self.chunks())


def _first_bad(values: Sequence[Any], ok: Any) -> int:
    return next((i for i, v in enumerate(values) if not ok(v)), 0)


def _is_int(v: Any) -> bool:
    return isinstance(v, (int, np.integer)) and bool(_INT64_MIN <= v <= _INT64_MAX)


def _is_number(v: Any) -> bool:
    return isinstance(v, (int, float, np.integer, np.floating))


def int_column(values: Any, what: str) -> np.ndarray:
    """Integer ids as int64; floats and strings are refused as the evaluator
    refuses them, naming the first offending result."""
    arr = np.asarray(values) if len(values) else np.zeros(0, np.int64)
    if arr.ndim == 1 and (
        arr.dtype.kind in "ib" or (arr.dtype.kind == "u" and (not arr.size or arr.max() <= _INT64_MAX))
    ):
        return arr.astype(np.int64)
    seq = list(values) if arr.ndim else [values]
    i = _first_bad(seq, _is_int)
    if i < len(seq) and isinstance(seq[i], (int, np.integer)):
        raise OverflowError(f"'{what}' of result {i} does not fit in 64 bits")
    got = type(seq[i]).__name__ if seq else type(values).__name__
    raise TypeError(f"'{what}' of result {i} must be an integer, not {got}")


def float_column(values: Any, what: str, width: int = 0) -> np.ndarray:
    """Numbers as float64 (width 0: one per result, else ``width`` each)."""
    arr = np.asarray(values) if len(values) else np.zeros((0, width) if width else 0)
    shape_ok = arr.ndim == 1 if not width else (arr.ndim == 2 and arr.shape[1] == width)
    if shape_ok and arr.dtype.kind in "fiub":
        return arr.astype(np.float64)
    if width:
        for i, v in enumerate(values):
            if not (hasattr(v, "__len__") and len(v) == width):
                raise ValueError(f"'{what}' of result {i} must have {width} entries")
            if not all(_is_number(x) for x in v):
                raise TypeError(f"'{what}' of result {i} must hold numbers")
    i = _first_bad(values, _is_number)
    raise TypeError(f"'{what}' of result {i} must be a number, not {type(values[i]).__name__}")


def _new_rows(dtype: np.dtype[Any], image_ids: Any, category_ids: Any, scores: Any) -> np.ndarray:
    rows = np.zeros(len(scores), dtype)
    rows["image_id"], rows["category_id"], rows["score"] = image_ids, category_ids, scores
    return rows


def from_array(data: Any, dtype: np.dtype[Any]) -> Batch:
    """Rows of an Nx7 [image_id, x, y, w, h, score, category_id] array, ids
    truncated toward zero as the array loader does."""
    arr = np.asarray(data)
    if arr.ndim != 2 or arr.shape[1] != 7:
        raise ValueError("result arrays must have 7 columns: image_id, x, y, w, h, score, category_id")
    if arr.dtype.kind not in "fiub":
        raise TypeError(f"result arrays must hold numbers, not {arr.dtype}")
    arr = arr.astype(np.float64, copy=False)
    ids = np.trunc(arr[:, [0, 6]])
    if not (np.isfinite(ids) & (ids >= -(2.0**63)) & (ids < 2.0**63)).all():
        raise ValueError("image and category IDs must be finite int64 values")
    rows = _new_rows(dtype, ids[:, 0], ids[:, 1], arr[:, 5])
    rows["box"] = arr[:, 1:5]
    if "fields" in dtype.names:  # type: ignore[operator]
        rows["fields"] = HAS_BOX
    return Batch(rows, b"")


def _column(dets: list[Any], key: str) -> list[Any]:
    try:
        values = [d[key] for d in dets]
    except KeyError:
        raise KeyError(f"result {_first_bad(dets, lambda d: key in d)} has no '{key}'") from None
    missing = _first_bad(values, lambda v: v is not None)
    if values and values[missing] is None:
        raise KeyError(f"result {missing} has no '{key}' (it is None)")
    return values


def from_dicts(
    results: Any, dtype: np.dtype[Any], iou_type: str, image_sizes: Mapping[Any, tuple[int, int]] | None = None
) -> Batch:
    """Rows of result dicts. Box evaluation needs a box in every result;
    other types keep a box where one is given, the mask (segm, boundary)
    or the keypoints, so that the dicts rebuilt at evaluation time carry
    the same fields. Polygon masks become RLE at their image's size
    (``image_sizes``), as evaluation would rasterise them."""
    dets = results if isinstance(results, list) else list(results)
    bad = _first_bad(dets, lambda d: isinstance(d, dict))
    if dets and not isinstance(dets[bad], dict):
        raise ValueError(f"results must be dicts; result {bad} is a {type(dets[bad]).__name__}")
    image_ids = int_column(_column(dets, "image_id"), "image_id")
    category_ids = int_column(_column(dets, "category_id"), "category_id")
    rows = _new_rows(dtype, image_ids, category_ids, float_column(_column(dets, "score"), "score"))
    if iou_type == "bbox":
        rows["box"] = float_column(_column(dets, "bbox"), "bbox", 4)
        return Batch(rows, b"")
    with_box = [i for i, d in enumerate(dets) if d.get("bbox") is not None]
    if with_box:
        rows["box"][with_box] = float_column([dets[i]["bbox"] for i in with_box], "bbox", 4)
        rows["fields"][with_box] = HAS_BOX
    if iou_type == "keypoints":
        pieces = [_keypoint_piece(d, i, rows) or b"" for i, d in enumerate(dets)]
    else:
        pieces = [_mask_piece(d, i, rows, image_sizes) or b"" for i, d in enumerate(dets)]
    rows["blob_end"] = np.cumsum([len(p) for p in pieces], dtype=np.uint64)
    return Batch(rows, b"".join(pieces))


def _mask_piece(
    d: dict[str, Any], i: int, rows: np.ndarray, image_sizes: Mapping[Any, tuple[int, int]] | None
) -> bytes | None:
    seg = d.get("segmentation")
    if seg is None:
        return None
    if isinstance(seg, list) and image_sizes is not None:
        seg = _polygons_as_rle(seg, d.get("image_id"), i, image_sizes)
    if not isinstance(seg, dict):
        raise TypeError(
            f"'segmentation' of result {i} is not an RLE dict or a polygon list; streaming keeps masks as RLE: "
            "give RLE dicts, polygons (with a ground truth that has image sizes) or a boolean mask stack "
            "(vantorel.compat.mask.frPyObjects turns polygons into RLE)"
        )
    counts, size = seg.get("counts"), seg.get("size")
    if counts is None:
        raise ValueError(f"RLE segmentation of result {i} is missing 'counts'")
    if not (isinstance(size, (list, tuple)) and len(size) == 2 and all(_is_int(v) and v >= 0 for v in size)):
        raise ValueError(f"RLE segmentation of result {i} needs a 'size' of two non-negative integers")
    h, w = int(size[0]), int(size[1])
    if isinstance(counts, (bytes, bytearray)):
        data = bytes(counts)
    elif isinstance(counts, str):
        data = counts.encode()
    else:
        data = _zerlin.frUncompressedRLE([{"size": [h, w], "counts": list(counts)}], h, w)[0]["counts"]
    rows["fields"][i] |= HAS_MASK
    rows["height"][i], rows["width"][i] = h, w
    return data


def _polygons_as_rle(
    polygons: list[Any], image_id: Any, i: int, image_sizes: Mapping[Any, tuple[int, int]]
) -> dict[str, Any]:
    """One RLE of a result's polygons at its image's size, as the reference
    turns them into a mask (each polygon rasterised, then merged)."""
    size = image_sizes.get(image_id)
    if size is None:
        raise ValueError(f"result {i}: image_id {image_id!r} has no image with a height and width in the ground truth")
    rle: dict[str, Any] = segmentation_rle(polygons, *size)
    return rle


def _keypoint_piece(d: dict[str, Any], i: int, rows: np.ndarray) -> bytes | None:
    kps = d.get("keypoints")
    if kps is None:
        return None
    arr = np.asarray(kps)
    if arr.ndim != 1 or (arr.size and arr.dtype.kind not in "fiub"):
        raise TypeError(f"'keypoints' of result {i} must be a flat list of numbers")
    rows["fields"][i] |= HAS_KEYPOINTS
    return arr.astype(np.float64).tobytes()


def from_image(
    dtype: np.dtype[Any],
    iou_type: str,
    image_id: int,
    scores: Any,
    labels: Any,
    boxes: Any = None,
    masks: Any = None,
    keypoints: Any = None,
    box_format: str = "xywh",
) -> Batch:
    """Rows of one image's detections given as arrays (see
    ``StreamingEvaluator.update_image``)."""
    image_id = operator.index(image_id)
    score_col = float_column(np.asarray(scores).reshape(-1), "scores")
    n = len(score_col)
    label_col = int_column(np.asarray(labels).reshape(-1), "labels")
    if len(label_col) != n:
        raise ValueError(f"labels has {len(label_col)} entries for {n} scores")
    rows = _new_rows(dtype, image_id, label_col, score_col)
    if boxes is not None:
        rows["box"] = _boxes(boxes, n, box_format)
    elif iou_type == "bbox":
        raise ValueError("box evaluation needs boxes")
    if iou_type == "bbox":
        return Batch(rows, b"")
    if boxes is not None:
        rows["fields"] = HAS_BOX
    if iou_type == "keypoints":
        return _with_keypoints(rows, keypoints)
    return _with_masks(rows, masks)


def _boxes(boxes: Any, n: int, box_format: str) -> np.ndarray:
    arr = np.asarray(boxes)
    if arr.shape != (n, 4) and not (n == 0 and arr.size == 0):
        raise ValueError(f"boxes must have shape ({n}, 4), got {arr.shape}")
    if arr.size and arr.dtype.kind not in "fiub":
        raise TypeError(f"boxes must hold numbers, not {arr.dtype}")
    arr = arr.reshape(n, 4).astype(np.float64)
    if box_format == "xyxy":
        arr[:, 2:] -= arr[:, :2]
    elif box_format != "xywh":
        raise ValueError(f"box_format must be 'xywh' or 'xyxy', got {box_format!r}")
    return arr


def _with_masks(rows: np.ndarray, masks: Any) -> Batch:
    n = len(rows)
    if masks is None:
        return Batch(rows, b"")
    if isinstance(masks, (list, tuple)):
        rles = list(masks)
        if len(rles) != n:
            raise ValueError(f"masks has {len(rles)} entries for {n} scores")
    else:
        stack = np.asarray(masks)
        if stack.ndim != 3 or len(stack) != n or stack.dtype.kind not in "bui":
            raise ValueError(f"masks must be a list of {n} RLE dicts or a boolean array of shape ({n}, H, W)")
        if not n:
            return Batch(rows, b"")
        # The encoder reads (H, W, N) column-major: one copy, as uint8.
        rles = _zerlin.encode(np.asfortranarray(np.moveaxis(stack != 0, 0, -1), dtype=np.uint8))
    pieces = []
    for i, rle in enumerate(rles):
        piece = _mask_piece({"segmentation": rle}, i, rows, None)
        if piece is None:
            raise ValueError(f"mask {i} is None")
        pieces.append(piece)
    rows["blob_end"] = np.cumsum([len(p) for p in pieces], dtype=np.uint64)
    return Batch(rows, b"".join(pieces))


def _with_keypoints(rows: np.ndarray, keypoints: Any) -> Batch:
    n = len(rows)
    if keypoints is None:
        return Batch(rows, b"")
    arr = np.asarray(keypoints)
    if len(arr) != n or arr.dtype.kind not in "fiub" or (n and arr[0].size % 3):
        raise ValueError(f"keypoints must be an array of shape ({n}, K, 3) or ({n}, 3K)")
    flat = arr.reshape(n, -1).astype(np.float64)
    rows["fields"] |= HAS_KEYPOINTS
    rows["blob_end"] = np.arange(1, n + 1, dtype=np.uint64) * flat.shape[1] * 8
    return Batch(rows, flat.tobytes())


def as_dicts(rows: np.ndarray, blob: bytes | bytearray, iou_type: str) -> list[dict[str, Any]]:
    """Result dicts with the fields each result was given, for the types
    whose geometry the evaluator takes only from dicts."""
    image_ids, category_ids = rows["image_id"].tolist(), rows["category_id"].tolist()
    scores, boxes = rows["score"].tolist(), rows["box"].tolist()
    out = [
        {"image_id": i, "category_id": c, "score": s} for i, c, s in zip(image_ids, category_ids, scores, strict=True)
    ]
    if iou_type == "bbox":
        for d, b in zip(out, boxes, strict=True):
            d["bbox"] = b
        return out
    fields, ends = rows["fields"].tolist(), rows["blob_end"].tolist()
    heights, widths = rows["height"].tolist(), rows["width"].tolist()
    view, start = memoryview(blob), 0
    for k, d in enumerate(out):
        f, end = fields[k], ends[k]
        if f & HAS_BOX:
            d["bbox"] = boxes[k]
        if f & HAS_MASK:
            d["segmentation"] = {"size": [heights[k], widths[k]], "counts": bytes(view[start:end])}
        if f & HAS_KEYPOINTS:
            d["keypoints"] = np.frombuffer(view[start:end], np.float64).tolist()
        start = end
    return out


def is_result_mapping(results: Any) -> bool:
    """One image's arrays given as a mapping (``image_id``, ``scores``, ...)."""
    return isinstance(results, Mapping) and "scores" in results
