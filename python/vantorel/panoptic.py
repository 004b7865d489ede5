"""Panoptic quality (PQ, SQ, RQ) of COCO panoptic results, as panopticapi's
``pq_compute`` computes it, image by image in the native core.

Each image's ground truth and prediction are PNG segment maps whose colours
are segment ids (id = R + 256 G + 256^2 B; 0 is VOID) plus the segments the
JSON files list. A predicted segment matches a ground-truth segment of its
category (not crowd) when their IoU is above 0.5, VOID pixels of the
prediction left out of the union. Unmatched ground truth that is not crowd
is a false negative; an unmatched prediction is a false positive unless more
than half of it lies on VOID or on crowd of its category. Per category:
PQ = sum IoU / (TP + FP / 2 + FN / 2), SQ = sum IoU / TP, RQ = TP / (TP +
FP / 2 + FN / 2); All, Things and Stuff average the categories that have any
segment.

PNG files are read on a thread pool: 8-bit RGB and RGBA maps are inflated
(libdeflate through the ``deflate`` package when installed, else zlib) and
unfiltered in the core; other image files go through Pillow. Images stream
in batches, so memory does not grow with their number.

Deliberate differences from panopticapi (which it otherwise matches to the
last bit, IoU sums included, added in its per-worker order):

- Faults are reported as :class:`PanopticFormatError` naming the file and
  the segment, also those panopticapi lets pass: a ground-truth segment of
  an unknown category (panopticapi leaves it out of every average), a
  duplicate image or segment id (it keeps the last), a segment without
  ``id``, ``category_id`` or ``iscrowd`` (a bare KeyError), maps of
  different sizes (a NumPy broadcasting error), and segment maps that are
  not RGB (a failure inside its colour conversion; Pillow's RGB conversion
  is used here).
- An average over no category (no stuff category, say) is 0 with n = 0,
  where panopticapi divides by zero.
"""

from __future__ import annotations

import io
import os
import struct
import sys
import time
import zlib
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Union

import numpy as np

from . import _zerlin

PathLike = Union[str, "os.PathLike[str]"]
Segment = dict[str, Any]

__all__ = [
    "PanopticFormatError",
    "format_per_category",
    "format_table",
    "pq_averages",
    "pq_compute",
    "read_segment_map",
]

# Images per native call: enough to keep every worker busy, few enough that
# two batches of decoded maps stay a few tens of megabytes.
BATCH = 16
_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

_deflate: Any
try:  # libdeflate inflates several times faster than zlib, without the GIL.
    import deflate as _deflate  # type: ignore[import-not-found,import-untyped,no-redef,unused-ignore]
except ImportError:  # pragma: no cover - depends on the environment
    _deflate = None


class PanopticFormatError(ValueError):
    """A panoptic JSON file or segment map that cannot be evaluated."""


# ---------------------------------------------------------------- segment maps

MapData = tuple[int, int, Any, int, bool]  # height, width, pixel bytes, channels, PNG-filtered rows


def _inflate(chunks: list[bytes], size: int) -> bytes | bytearray | None:
    data = b"".join(chunks)
    try:
        if _deflate is not None:
            out: bytes | bytearray = _deflate.zlib_decompress(data, size)
        else:
            out = zlib.decompress(data)
    except Exception:  # any inflate failure: let Pillow judge the file
        return None
    return out if len(out) == size else None


def _fast_png(data: bytes) -> MapData | None:
    """8-bit RGB(A), non-interlaced PNG: the inflated, still-filtered rows."""
    if not data.startswith(_PNG_SIGNATURE) or len(data) < 33 or data[12:16] != b"IHDR":
        return None
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", data[16:29])
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        return None
    channels = 3 if colour == 2 else 4
    chunks, pos = [], 8
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos : pos + 8])
        if kind == b"IDAT":
            chunks.append(data[pos + 8 : pos + 8 + length])
        elif kind == b"IEND":
            break
        pos += 12 + length
    rows = _inflate(chunks, height * (1 + width * channels))
    return None if rows is None else (height, width, rows, channels, True)


def _pillow_map(data: bytes, path: str) -> MapData:
    try:
        from PIL import Image
    except ImportError:
        raise PanopticFormatError(
            f"{path}: not an 8-bit RGB PNG; reading other image files needs Pillow (pip install 'vantorel[panoptic]')"
        ) from None
    try:
        with Image.open(io.BytesIO(data)) as im:
            pixels = np.ascontiguousarray(np.asarray(im.convert("RGB"), dtype=np.uint8))
    except Exception as err:  # Pillow raises many kinds for a bad file
        raise PanopticFormatError(f"{path}: cannot read the segment map: {err}") from None
    return pixels.shape[0], pixels.shape[1], pixels, 3, False


def read_segment_map(path: str) -> MapData:
    """The segment map of one image file: (height, width, pixels, channels, PNG-filtered).

    Examples
    --------
    >>> h, w, pixels, channels, filtered = read_segment_map("gt/000000000139.png")  # doctest: +SKIP
    """
    with open(path, "rb") as f:
        data = f.read()
    return _fast_png(data) or _pillow_map(data, path)


def _read_pair(gt_path: str, pred_path: str) -> tuple[MapData, MapData]:
    gt, pred = read_segment_map(gt_path), read_segment_map(pred_path)
    if gt[:2] != pred[:2]:
        raise PanopticFormatError(
            f"{pred_path}: segment map of size {pred[1]}x{pred[0]}, its ground truth {gt_path} is {gt[1]}x{gt[0]}"
        )
    return gt, pred


# ---------------------------------------------------------------- JSON side


def _load(path: PathLike) -> dict[str, Any]:
    try:
        doc = _zerlin.load_json(os.fspath(path))
    except OSError as err:
        raise OSError(err.errno, f"{os.fspath(path)}: {err}", os.fspath(path)) from None
    except ValueError as err:
        raise PanopticFormatError(f"{os.fspath(path)}: {err}") from None
    if not isinstance(doc, dict) or not isinstance(doc.get("annotations"), list):
        raise PanopticFormatError(f"{os.fspath(path)}: not a COCO panoptic file (no 'annotations' list)")
    return doc


def _categories(gt: dict[str, Any], path: str) -> dict[int, Any]:
    cats: dict[int, Any] = {}
    for cat in gt.get("categories") or []:
        if not isinstance(cat, dict) or "id" not in cat or "isthing" not in cat:
            raise PanopticFormatError(f"{path}: category {cat!r} lacks 'id' or 'isthing'")
        if cat["id"] in cats:
            raise PanopticFormatError(f"{path}: category id {cat['id']} appears twice")
        cats[cat["id"]] = cat["isthing"]
    if not cats:
        raise PanopticFormatError(f"{path}: no 'categories'")
    return cats


def _field(seg: Any, key: str, where: str) -> Any:
    if not isinstance(seg, dict) or key not in seg:
        raise PanopticFormatError(f"{where}: segment {seg!r} lacks {key!r}")
    return seg[key]


def _segment_rows(ann: dict[str, Any], where: str, cat_index: dict[int, int], gt: bool) -> list[list[Any]]:
    segs = ann.get("segments_info")
    if not isinstance(segs, list):
        raise PanopticFormatError(f"{where}: annotation of image {ann.get('image_id')!r} has no 'segments_info' list")
    rows: list[list[Any]] = []
    seen: set[int] = set()
    for seg in segs:
        sid = _field(seg, "id", where)
        if type(sid) is not int:
            raise PanopticFormatError(f"{where}: segment id {sid!r} is not an integer")
        if sid in seen:
            raise PanopticFormatError(f"{where}: image {ann['image_id']!r} lists segment {sid} twice")
        seen.add(sid)
        cat = cat_index.get(_field(seg, "category_id", where), -1)
        if not gt:
            rows.append([sid, cat])
            continue
        if cat < 0:
            raise PanopticFormatError(
                f"{where}: in image {ann['image_id']!r} segment {sid} has unknown category_id {seg['category_id']!r}"
            )
        area = _field(seg, "area", where)
        if isinstance(area, bool) or not isinstance(area, (int, float)):
            raise PanopticFormatError(f"{where}: segment {sid} has a non-numeric area {area!r}")
        rows.append([sid, cat, int(_field(seg, "iscrowd", where) == 1), float(area)])
    return rows


# ---------------------------------------------------------------- the evaluation


class _Columns:
    """Segment columns of one batch of images, as the native matching takes them."""

    def __init__(self) -> None:
        self.gt_ids: list[Any] = []
        self.gt_cats: list[int] = []
        self.gt_crowd: list[bool] = []
        self.gt_area: list[Any] = []
        self.gt_counts: list[int] = []
        self.pred_ids: list[Any] = []
        self.pred_cats: list[int] = []
        self.pred_counts: list[int] = []

    def add(self, gt: dict[str, Any], pred: dict[str, Any], paths: tuple[str, str], cat_index: dict[Any, int]) -> None:
        """Appends one image's segments; a segment the fast reading cannot take
        goes through _segment_rows, which names the fault."""
        try:
            g, p = gt["segments_info"], pred["segments_info"]
            g_ids, p_ids = [s["id"] for s in g], [s["id"] for s in p]
            g_cats = [cat_index.get(s["category_id"], -1) for s in g]
            p_cats = [cat_index.get(s["category_id"], -1) for s in p]
            crowd, area = [s["iscrowd"] == 1 for s in g], [s["area"] for s in g]
            ok = (
                len(set(g_ids)) == len(g_ids)
                and len(set(p_ids)) == len(p_ids)
                and -1 not in g_cats
                and all(type(i) is int for i in g_ids)
                and all(type(i) is int for i in p_ids)
                and all(type(a) is int or type(a) is float for a in area)
            )
        except (KeyError, TypeError):
            ok = False
        if not ok:
            _segment_rows(gt, paths[0], cat_index, True)
            _segment_rows(pred, paths[1], cat_index, False)
            raise PanopticFormatError(f"{paths[0]}: unusable segments in image {gt.get('image_id')!r}")
        self.gt_ids += g_ids
        self.gt_cats += g_cats
        self.gt_crowd += crowd
        self.gt_area += area
        self.gt_counts.append(len(g_ids))
        self.pred_ids += p_ids
        self.pred_cats += p_cats
        self.pred_counts.append(len(p_ids))

    def arrays(self) -> tuple[Any, ...]:
        gt = np.array([self.gt_ids, self.gt_cats, self.gt_crowd], np.int64).T.reshape(-1, 3)
        pred = np.array([self.pred_ids, self.pred_cats], np.int64).T.reshape(-1, 2)
        return (
            np.ascontiguousarray(gt),
            np.array(self.gt_area, np.float64),
            np.array(self.gt_counts, np.int64),
            np.ascontiguousarray(pred),
            np.array(self.pred_counts, np.int64),
        )


class _Tally:
    """Per-category TP, FP, FN and IoU sums, the sums added as panopticapi adds
    them: in image order within each of its worker chunks, then chunk by chunk."""

    def __init__(self, n_categories: int, n_images: int, chunks: int) -> None:
        self.tp = np.zeros(n_categories, np.int64)
        self.fp = np.zeros(n_categories, np.int64)
        self.fn = np.zeros(n_categories, np.int64)
        self._sums = [[0.0] * n_categories for _ in range(max(chunks, 1))]
        # np.array_split: the first n % k chunks hold one image more.
        base, extra = divmod(n_images, max(chunks, 1))
        self._bounds = np.cumsum([base + (i < extra) for i in range(max(chunks, 1))])

    def add(self, first_image: int, result: tuple[Any, ...]) -> None:
        m_img, m_cat, m_iou, _fn_img, fn_cat, _fp_img, fp_cat, _ = result
        np.add.at(self.tp, m_cat, 1)
        np.add.at(self.fn, fn_cat, 1)
        np.add.at(self.fp, fp_cat, 1)
        chunk_of = np.searchsorted(self._bounds, m_img + first_image, side="right")
        for chunk, cat, iou in zip(chunk_of.tolist(), m_cat.tolist(), m_iou.tolist()):
            self._sums[chunk][cat] += iou

    def iou(self) -> list[float]:
        total = [0.0] * len(self._sums[0])
        for sums in self._sums:
            total = [t + s for t, s in zip(total, sums)]
        return total


def pq_averages(
    cat_ids: Sequence[Any], isthing: dict[Any, Any], counts: Sequence[tuple[int, int, int, float]]
) -> dict[str, Any]:
    """All / Things / Stuff averages and per-category values from (TP, FP, FN,
    IoU sum) per category, as panopticapi averages them.

    Examples
    --------
    >>> r = pq_averages([1], {1: 1}, [(2, 1, 1, 1.6)])
    >>> r["All"]["pq"], r["per_class"][1]["sq"]
    (0.5333333333333333, 0.8)
    """
    results: dict[str, Any] = {}
    per_class: dict[Any, dict[str, Any]] = {}
    for name, want in (("All", None), ("Things", True), ("Stuff", False)):
        pq = sq = rq = 0.0
        n = 0
        for cat, (tp, fp, fn, iou) in zip(cat_ids, counts):
            if want is not None and (isthing[cat] == 1) != want:
                continue
            if tp + fp + fn == 0:
                entry = {"pq": 0.0, "sq": 0.0, "rq": 0.0}
            else:
                n += 1
                denom = tp + 0.5 * fp + 0.5 * fn
                entry = {"pq": iou / denom, "sq": iou / tp if tp != 0 else 0.0, "rq": tp / denom}
                pq, sq, rq = pq + entry["pq"], sq + entry["sq"], rq + entry["rq"]
            if want is None:
                per_class[cat] = {**entry, "tp": tp, "fp": fp, "fn": fn}
        results[name] = {"pq": pq / n if n else 0.0, "sq": sq / n if n else 0.0, "rq": rq / n if n else 0.0, "n": n}
        if want is None:
            results["per_class"] = per_class
    return results


def _fault_message(fault: tuple[int, str, int], image_id: Any, pred_path: str, gt_path: str, where: str) -> str:
    _, kind, segment = fault
    return {
        "gt_map_corrupt": f"{gt_path}: corrupt segment map data",
        "pred_map_corrupt": f"{pred_path}: corrupt segment map data",
        "pred_segment_not_in_json": f"{pred_path}: segment {segment} is in the PNG but not in {where} (image {image_id!r})",
        "pred_unknown_category": f"{where}: in image {image_id!r} segment {segment} has an unknown category_id",
        "pred_segment_not_in_map": f"{where}: in image {image_id!r} segment {segment} is in the JSON but not in {pred_path}",
    }[kind]


def _progress_printer(total: int, stream: Any) -> Callable[[int], None]:
    start, last = time.monotonic(), [0.0]

    def show(done: int) -> None:
        now = time.monotonic()
        if done < total and now - last[0] < 0.5:
            return
        last[0] = now
        width = 30
        filled = width * done // max(total, 1)
        stream.write(f"\rpanoptic: [{'#' * filled}{'.' * (width - filled)}] {done}/{total} images {now - start:.1f} s")
        if done == total:
            stream.write("\n")
        stream.flush()

    return show


def pq_compute(
    gt_json: PathLike,
    pred_json: PathLike,
    gt_folder: PathLike | None = None,
    pred_folder: PathLike | None = None,
    *,
    progress: bool = False,
    workers: int | None = None,
) -> dict[str, Any]:
    """Panoptic quality of ``pred_json`` against ``gt_json``, as panopticapi's ``pq_compute``.

    Parameters
    ----------
    gt_json, pred_json : path
        COCO panoptic JSON files; the categories (with ``isthing``) come from
        the ground truth. Every ground-truth image needs a prediction.
    gt_folder, pred_folder : path, optional
        Folders of the PNG segment maps; by default the JSON path with
        ``.json`` removed, as panopticapi does.
    progress : bool
        Show a progress bar on stderr (long runs).
    workers : int, optional
        Threads that read image files (default: the CPU count).

    Returns
    -------
    dict
        ``{"All" | "Things" | "Stuff": {"pq", "sq", "rq", "n"}, "per_class":
        {category_id: {"pq", "sq", "rq", "tp", "fp", "fn"}}}``, values as
        fractions (panopticapi's dict plus the counts).

    Examples
    --------
    >>> r = pq_compute("panoptic_val2017.json", "predictions.json")  # doctest: +SKIP
    >>> round(100 * r["All"]["pq"], 1)  # doctest: +SKIP
    41.5
    """
    gt_path, pred_path = os.fspath(gt_json), os.fspath(pred_json)
    gt_dir = os.fspath(gt_folder) if gt_folder is not None else gt_path.replace(".json", "")
    pred_dir = os.fspath(pred_folder) if pred_folder is not None else pred_path.replace(".json", "")
    gt_doc, pred_doc = _load(gt_path), _load(pred_path)
    isthing = _categories(gt_doc, gt_path)
    cat_ids = list(isthing)
    cat_index = {c: k for k, c in enumerate(cat_ids)}

    preds: dict[Any, dict[str, Any]] = {}
    for ann in pred_doc["annotations"]:
        image_id = _field(ann, "image_id", pred_path)
        if image_id in preds:
            raise PanopticFormatError(f"{pred_path}: image {image_id!r} has two annotations")
        preds[image_id] = ann
    pairs: list[tuple[dict[str, Any], dict[str, Any]]] = []
    seen: set[Any] = set()
    for ann in gt_doc["annotations"]:
        image_id = _field(ann, "image_id", gt_path)
        if image_id in seen:
            raise PanopticFormatError(f"{gt_path}: image {image_id!r} has two annotations")
        seen.add(image_id)
        if image_id not in preds:
            raise PanopticFormatError(f"{pred_path}: no prediction for the image with id {image_id!r}")
        pairs.append((ann, preds[image_id]))

    tally = _Tally(len(cat_ids), len(pairs), os.cpu_count() or 1)
    show = _progress_printer(len(pairs), sys.stderr) if progress else None
    for first, batch, maps in _stream_maps(pairs, gt_dir, pred_dir, workers):
        columns = _Columns()
        for g, p in batch:
            columns.add(g, p, (gt_path, pred_path), cat_index)
        result = _zerlin.panoptic_match(maps, *columns.arrays())
        if result[7] is not None:
            g, p = batch[result[7][0]]
            raise PanopticFormatError(
                _fault_message(
                    result[7],
                    g["image_id"],
                    os.path.join(pred_dir, p["file_name"]),
                    os.path.join(gt_dir, g["file_name"]),
                    pred_path,
                )
            )
        tally.add(first, result)
        if show is not None:
            show(first + len(batch))
    ious = tally.iou()
    counts = [(int(tally.tp[k]), int(tally.fp[k]), int(tally.fn[k]), ious[k]) for k in range(len(cat_ids))]
    return pq_averages(cat_ids, isthing, counts)


def _stream_maps(
    pairs: Sequence[tuple[dict[str, Any], dict[str, Any]]], gt_dir: str, pred_dir: str, workers: int | None
) -> Iterator[tuple[int, list[tuple[dict[str, Any], dict[str, Any]]], list[tuple[Any, ...]]]]:
    """Batches of (first index, annotation pairs, map tuples), read ahead by
    at most two batches on a thread pool."""

    def paths(i: int) -> tuple[str, str]:
        g, p = pairs[i]
        return (
            os.path.join(gt_dir, _field(g, "file_name", gt_dir)),
            os.path.join(pred_dir, _field(p, "file_name", pred_dir)),
        )

    with ThreadPoolExecutor(max_workers=workers or os.cpu_count() or 1) as pool:
        pending: deque[Future[tuple[MapData, MapData]]] = deque()
        ahead = 0

        def fill(limit: int) -> None:
            nonlocal ahead
            while ahead < min(limit, len(pairs)):
                pending.append(pool.submit(_read_pair, *paths(ahead)))
                ahead += 1

        try:
            for first in range(0, len(pairs), BATCH):
                fill(first + 3 * BATCH)
                maps = []
                for _ in range(min(BATCH, len(pairs) - first)):
                    gt, pred = pending.popleft().result()
                    maps.append((gt[0], gt[1], gt[2], gt[3], gt[4], pred[2], pred[3], pred[4]))
                yield first, list(pairs[first : first + len(maps)]), maps
        finally:
            for f in pending:
                f.cancel()


# ---------------------------------------------------------------- text output


def format_table(results: dict[str, Any]) -> str:
    """The summary table as panopticapi prints it (values in percent).

    Examples
    --------
    >>> print(format_table(pq_compute("gt.json", "pred.json")))  # doctest: +SKIP
              |    PQ     SQ     RQ     N
    --------------------------------------
    All       |  41.5   79.1   50.7   133
    """
    lines = ["{:10s}| {:>5s}  {:>5s}  {:>5s} {:>5s}".format("", "PQ", "SQ", "RQ", "N"), "-" * (10 + 7 * 4)]
    for name in ("All", "Things", "Stuff"):
        r = results[name]
        lines.append(
            "{:10s}| {:5.1f}  {:5.1f}  {:5.1f} {:5d}".format(name, 100 * r["pq"], 100 * r["sq"], 100 * r["rq"], r["n"])
        )
    return "\n".join(lines)


def format_per_category(results: dict[str, Any], names: dict[Any, str] | None = None) -> str:
    """One line per category: PQ, SQ, RQ (percent) and the TP, FP, FN counts.

    Examples
    --------
    >>> print(format_per_category(pq_compute("gt.json", "pred.json")))  # doctest: +SKIP
    """
    lines = [
        "{:>8s} {:24s} {:>6s} {:>6s} {:>6s} {:>7s} {:>7s} {:>7s}".format(
            "id", "name", "PQ", "SQ", "RQ", "TP", "FP", "FN"
        )
    ]
    for cat, r in results["per_class"].items():
        name = (names or {}).get(cat, "")
        lines.append(
            "{:>8} {:24s} {:6.1f} {:6.1f} {:6.1f} {:7d} {:7d} {:7d}".format(
                cat, name[:24], 100 * r["pq"], 100 * r["sq"], 100 * r["rq"], r["tp"], r["fp"], r["fn"]
            )
        )
    return "\n".join(lines)


def run_cli(args: Any, error_line: Callable[[BaseException], str], output: Callable[[str], Any]) -> int:
    """``vantorel --panoptic GT PRED``: the summary table, ``--per-category``,
    ``--json FILE`` ('-': stdout only), progress on stderr unless ``--quiet``.
    Returns the exit code (1 for unusable input).

    Examples
    --------
    >>> from vantorel.cli import main
    >>> main(["--panoptic", "panoptic_val2017.json", "pred.json", "--per-category"])  # doctest: +SKIP
    0
    """
    import json

    try:
        results = pq_compute(args.gt, args.results, args.gt_dir, args.pred_dir, progress=not args.quiet)
        names = {
            c.get("id"): str(c.get("name", "")) for c in _load(args.gt).get("categories") or [] if isinstance(c, dict)
        }
        if args.json is not None:
            with output(args.json) as out:
                json.dump(results, out, indent=2, allow_nan=False)
                out.write("\n")
    except (OSError, ValueError, KeyError, TypeError, OverflowError) as err:
        print(error_line(err), file=sys.stderr)
        return 1
    if args.json != "-":
        if not args.quiet:
            print(format_table(results))
        if args.per_category:
            print(format_per_category(results, names))
    return 0
