"""Streaming evaluation: results fed batch by batch, kept as compact columns,
merged exactly across processes and evaluated at the end.

The result of ``compute()`` is that of ``vantorel.evaluate`` on all batches
concatenated in the order they were given (detections with equal scores
are ranked by that order, so it matters).
"""

from __future__ import annotations

import functools
import hashlib
import json
import math
import os
import struct
from typing import Any, cast

import numpy as np

from . import _columns, _zerlin
from ._lazy import build_lock
from .evaluation import evaluate
from .loading import (
    LoadedGroundTruth,
    check_dataset,
    check_results,
    ground_truth_side,
    naming_file,
    read_json,
    results_side,
)
from .params import WHOLEBODY_TYPES, Params
from .results import EvalResult

_MAGIC = b"VNTRLSTR"
# Format 2 ends with a SHA-256 of everything before it; format 1 (no digest)
# is still read, its parameters checked against their fingerprint.
_STATE_VERSION = 2
_DIGEST_SIZE = hashlib.sha256().digest_size
_HEADER = struct.Struct("<8sHI")  # magic, format version, header length
# Float64 holds every integer up to 2**53 exactly; larger ids go as dicts.
_EXACT_ID = 2**53


class StreamingEvaluator:
    """Evaluation fed in batches, with a compact state that merges and pickles.

    Parameters
    ----------
    gt : str, os.PathLike, dict or object with a ``dataset`` dict
        Ground truth: a dataset file, a loaded dataset dict, or a COCO API
        object such as ``vantorel.compat.coco.COCO``. Loaded once.
    iou_type : {"bbox", "segm", "keypoints", "boundary"}
    params : Params, optional
        Evaluation parameters (copied); their ``iou_type`` wins, as in
        ``vantorel.evaluate``.
    lvis : bool
        The LVIS federated protocol.

    Notes
    -----
    Between calls the state is a few NumPy arrays: 56 bytes per box
    detection (image id, category id, score, box), plus for masks their
    compressed RLE counts in one bytes buffer (73 bytes per row then), and
    for keypoints their coordinates. ``pickle.dumps`` gives these bytes with
    a fingerprint of the ground truth and the parameters; ``merge`` refuses
    a state whose fingerprint differs. An unpickled state keeps the path of
    its ground-truth file (not a dict: that stays with the caller), so it
    computes by itself only when it was made from a file (kept as an
    absolute path, so the state still finds it from another working
    directory; a file changed since is refused by name). A state's bytes
    end with a SHA-256 of all of them, and its parameters carry their own
    fingerprint: a damaged or altered state is refused with ValueError.
    ``to_bytes``/``from_bytes``, ``results()``, ``params`` and ``gt_path``
    are the state's public surface (what the drop-ins and
    ``vantorel.distributed`` use).

    Examples
    --------
    >>> ev = StreamingEvaluator("instances_val2017.json", "bbox")  # doctest: +SKIP
    >>> for image_id, out in batches:                       # doctest: +SKIP
    ...     ev.update_image(image_id, out["scores"], out["labels"], boxes=out["boxes"], box_format="xyxy")
    >>> ev.compute().stats                                  # doctest: +SKIP
    """

    def __init__(
        self,
        gt: Any,
        iou_type: str = "bbox",
        params: Params | None = None,
        lvis: bool = False,
    ) -> None:
        self._params = params.copy() if params is not None else Params.for_type(iou_type, lvis=lvis)
        self.iou_type: str = self._params.iou_type
        # keypoints_crowd's split needs every image at once; the batches keep
        # no COCO-WholeBody part lists or scores.
        if self.iou_type == "keypoints_crowd" or self.iou_type in WHOLEBODY_TYPES:
            raise ValueError(f"{self.iou_type} is evaluated by vantorel.evaluate(), not streamed")
        self.lvis = bool(lvis)
        self._gt, self._gt_path, self._known_images = _open_ground_truth(gt, self.iou_type)
        self._gt_file_digest: bytes | None = None  # of the file, taken when the state is first written
        self._gt_fp: bytes | None = None
        self._params_fp = _params_fingerprint(self._params, self.lvis)
        self._table = _columns.RowTable(_columns.row_dtype(self.iou_type))
        self._blob = bytearray()
        self._sizes: dict[Any, tuple[int, int]] | None = None

    # Feeding results

    def update(self, results: Any) -> None:
        """Adds a batch of results after those already given.

        Parameters
        ----------
        results : list of dict, ndarray, str, os.PathLike, CompactBbox or mapping
            Result dicts (``image_id``, ``category_id``, ``score`` and the
            geometry of the evaluation type: ``bbox``, an RLE
            ``segmentation`` or ``keypoints``); an Nx7 array
            [image_id, x, y, w, h, score, category_id]; a results file or a
            ``CompactBbox``; or one image's arrays as a mapping of the
            keyword arguments of ``update_image``.

        A batch that fails leaves the state as it was.

        Examples
        --------
        >>> ev.update([{"image_id": 42, "category_id": 1, "bbox": [0, 0, 9, 9], "score": 0.8}])  # doctest: +SKIP
        """
        if _columns.is_result_mapping(results):
            self.update_image(**results)
            return
        if isinstance(results, dict):
            raise TypeError(
                "update takes a list of result dicts (a single result goes in a list), or one image's "
                "arrays as a mapping with 'image_id', 'scores' and 'labels'"
            )
        dtype = self._table.dtype
        if isinstance(results, (str, os.PathLike)):
            with naming_file("results", results):
                results = _load_file(results, self.iou_type)
        if isinstance(results, _zerlin.CompactBbox):
            results = _handle_results(results, self.iou_type)
        if isinstance(results, np.ndarray):
            batch = _columns.from_array(results, dtype)
        else:
            batch = _columns.from_dicts(results, dtype, self.iou_type, self._image_sizes())
        self._append(batch)

    def _image_sizes(self) -> dict[Any, tuple[int, int]] | None:
        """Image id -> (height, width) of the ground truth, for polygon
        masks; None for boxes and keypoints, or without the ground truth."""
        if self.iou_type not in ("segm", "boundary") or self._gt is None:
            return None
        if self._sizes is None:  # made whole, then assigned: a race only repeats it
            dataset = self._gt.dataset if isinstance(self._gt, LoadedGroundTruth) else self._gt
            self._sizes = {
                img["id"]: (img["height"], img["width"])
                for img in dataset["images"]
                if isinstance(img, dict) and "height" in img and "width" in img
            }
        return self._sizes

    def update_image(
        self,
        image_id: int,
        scores: Any,
        labels: Any,
        boxes: Any = None,
        masks: Any = None,
        keypoints: Any = None,
        box_format: str = "xywh",
    ) -> None:
        """Adds one image's detections given as arrays (NumPy, or anything
        ``numpy.asarray`` takes, such as CPU tensors).

        Parameters
        ----------
        image_id : int
        scores : array of shape (N,)
        labels : array of shape (N,)
            Category ids as in the ground truth (not contiguous indices).
        boxes : array of shape (N, 4), optional
            Required for "bbox"; in the other types a given box takes part
            as a result dict's ``bbox`` does (it sets the area).
        masks : list of N RLE dicts or array of shape (N, H, W), optional
            For "segm" and "boundary"; a boolean stack is RLE-encoded now.
        keypoints : array of shape (N, K, 3) or (N, 3K), optional
            For "keypoints".
        box_format : {"xywh", "xyxy"}
            "xyxy" boxes are turned into COCO [x, y, w, h].

        Examples
        --------
        >>> ev.update_image(42, scores=[0.9], labels=[1], boxes=[[10, 10, 50, 80]])  # doctest: +SKIP
        """
        self._append(
            _columns.from_image(
                self._table.dtype, self.iou_type, image_id, scores, labels, boxes, masks, keypoints, box_format
            )
        )

    def _append(self, batch: _columns.Batch) -> None:
        rows, blob = batch
        self._check_images(rows["image_id"])
        if self._blob:  # offsets count from the start of this state's buffer
            rows["blob_end"] += len(self._blob)
        self._blob += blob
        self._table.append(rows)

    def _check_images(self, image_ids: np.ndarray) -> None:
        """Results for an image the ground truth lacks are a mismatched
        pair (``evaluate`` refuses them too); said here, at the batch."""
        known = self._known_images
        if known is None or not len(image_ids):
            return
        at = np.searchsorted(known, image_ids).clip(max=len(known) - 1)  # known is sorted
        ok = known[at] == image_ids if len(known) else np.zeros(len(image_ids), bool)
        if not ok.all():
            raise ValueError(f"results name image {int(image_ids[~ok][0])}, which the ground truth does not have")

    # Evaluating

    def compute(self, *, release: bool = False) -> EvalResult:
        """Evaluates every result given so far, as ``vantorel.evaluate``
        would on their concatenation. The state is kept, unless ``release``:
        then it is dropped once the evaluator's input is built, so that the
        two are not held at once.

        Examples
        --------
        >>> ev.compute().stats[0]  # AP @[.50:.95]   # doctest: +SKIP
        """
        with build_lock(self):  # attached and checked whole before anyone uses it
            if self._gt is None:
                self._attach_ground_truth()
        results = self.results()
        if release:
            self.reset()
        return evaluate(cast(Any, self._gt), results, self.iou_type, lvis=self.lvis, params=self._params)

    def results(self) -> Any:
        """The results held, in the order given, as ``vantorel.evaluate``
        takes them: box results with ids exact as floats as an Nx7 array
        [image_id, x, y, w, h, score, category_id], others as result dicts.

        Examples
        --------
        >>> ev.results().shape  # doctest: +SKIP
        (1234, 7)
        """
        chunks = self._table.chunks()
        if self.iou_type == "bbox" and all(_ids_exact_as_float(c) for c in chunks):
            # The array route makes no dict per detection; its derived fields
            # (id = position + 1, area = w * h) are those of result dicts.
            out, pos = np.empty((len(self), 7)), 0
            for c in chunks:
                part = out[pos : pos + len(c)]
                part[:, 0], part[:, 1:5], part[:, 5], part[:, 6] = c["image_id"], c["box"], c["score"], c["category_id"]
                pos += len(c)
            return out
        return _columns.as_dicts(self._table.rows(), self._blob, self.iou_type)

    def reset(self) -> None:
        """Forgets every result; the ground truth stays loaded."""
        self._table.clear()
        self._blob = bytearray()

    def merge(self, *others: StreamingEvaluator) -> StreamingEvaluator:
        """Appends the results of other states, in the order given, after
        this state's own: the result is that of one evaluator fed all the
        batches in that order. Returns ``self``.

        Raises ValueError (before changing anything) when a state was made
        with other ground truth or other parameters.

        Examples
        --------
        >>> ev.merge(*states_from_other_ranks).compute()  # doctest: +SKIP
        """
        for k, other in enumerate(others):
            if not isinstance(other, StreamingEvaluator):
                raise TypeError(f"merge takes StreamingEvaluator states; argument {k} is a {type(other).__name__}")
            self._check_compatible(other, f"state {k}")
            for chunk in other._table.chunks():
                self._check_images(chunk["image_id"])
        # Copied before appending only when this state is merged into itself.
        own = (self._table.rows(), bytes(self._blob)) if any(o is self for o in others) else None
        for other in others:
            chunks, blob = ([own[0]], own[1]) if own and other is self else (other._table.chunks(), other._blob)
            shift = len(self._blob)
            for chunk in chunks:
                if shift:
                    chunk = chunk.copy()
                    chunk["blob_end"] += shift
                self._table.adopt(chunk)
            self._blob += blob
        return self

    def _check_compatible(self, other: StreamingEvaluator, what: str) -> None:
        if (other.iou_type, other.lvis, other._params_fp) != (self.iou_type, self.lvis, self._params_fp):
            raise ValueError(
                f"cannot merge {what}: it was made with other evaluation parameters "
                f"(iou_type={other.iou_type!r}, lvis={other.lvis}; this one: iou_type={self.iou_type!r}, lvis={self.lvis})"
            )
        if other.gt_fingerprint() != self.gt_fingerprint():
            raise ValueError(f"cannot merge {what}: it was made with other ground truth")

    # State

    def __len__(self) -> int:
        """The number of detections held."""
        return len(self._table)

    @property
    def nbytes(self) -> int:
        """Bytes the detections take (spare room of the open chunk included;
        the ground truth not)."""
        return self._table.nbytes + len(self._blob)

    def gt_fingerprint(self) -> bytes:
        """SHA-256 over the ground truth's image ids and sizes, category ids
        and each annotation's image, category and box: what ``merge``
        compares (see ``ground_truth_fingerprint``)."""
        with build_lock(self):
            if self._gt_fp is None:
                if self._gt is None:
                    self._attach_ground_truth()
                gt: Any = self._gt
                dataset, anns = (
                    (gt.dataset, gt.annotations) if isinstance(gt, LoadedGroundTruth) else (gt, gt["annotations"])
                )
                self._gt_fp = ground_truth_fingerprint(dataset, anns)
            return self._gt_fp

    @property
    def params(self) -> Params:
        """A copy of the evaluation parameters. Assigning parameters of the
        same ``iou_type`` relabels the state (the rows do not depend on
        them; which states merge does).

        Examples
        --------
        >>> ev.params.max_dets  # doctest: +SKIP
        [1, 10, 100]
        """
        return self._params.copy()

    @params.setter
    def params(self, params: Params) -> None:
        if not isinstance(params, Params):
            raise TypeError(f"params must be a vantorel.Params, not {type(params).__name__}")
        if params.iou_type != self.iou_type:
            raise ValueError(
                f"this state holds {self.iou_type!r} results; parameters for {params.iou_type!r} do not fit it"
            )
        self._params = params.copy()
        self._params_fp = _params_fingerprint(self._params, self.lvis)

    @property
    def gt_path(self) -> str | None:
        """The absolute path of the ground-truth file, from which an
        unpickled state loads it (None: made from a loaded dataset).
        Assigning a path names the file the ground truth was loaded from.

        Examples
        --------
        >>> StreamingEvaluator("data/instances_val2014_100.json").gt_path  # doctest: +SKIP
        '/home/me/data/instances_val2014_100.json'
        """
        return self._gt_path

    @gt_path.setter
    def gt_path(self, path: str | os.PathLike[str] | None) -> None:
        self._gt_path = os.path.abspath(path) if path is not None else None
        self._gt_file_digest = None

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return (_restore, (self.to_bytes(),))

    def to_bytes(self) -> bytes:
        """The state as bytes (what pickling gives): a header with the
        parameters and the fingerprints, the rows, the masks' RLE bytes, and
        a SHA-256 of it all. ``from_bytes`` reads it back.

        Examples
        --------
        >>> data = ev.to_bytes()  # doctest: +SKIP
        """
        rows = self._table.rows()
        header = {
            "iou_type": self.iou_type,
            "lvis": self.lvis,
            "params": _params_as_json(self._params),
            "params_fp": self._params_fp.hex(),
            "gt_fp": self.gt_fingerprint().hex(),
            "gt_path": self._gt_path,
            "gt_file_sha256": self._file_digest_hex(),
            "rows": len(rows),
            "blob": len(self._blob),
        }
        head = json.dumps(header, default=_json_default).encode()
        body = b"".join([_HEADER.pack(_MAGIC, _STATE_VERSION, len(head)), head, rows.tobytes(), self._blob])
        return body + hashlib.sha256(body).digest()

    def _file_digest_hex(self) -> str | None:
        if self._gt_file_digest is None and self._gt_path is not None and os.path.exists(self._gt_path):
            self._gt_file_digest = _file_digest(self._gt_path)
        return self._gt_file_digest.hex() if self._gt_file_digest is not None else None

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> StreamingEvaluator:
        """A state from ``to_bytes``; its ground truth loads from its file
        when first needed. A damaged or altered state (checksum or parameter
        fingerprint not matching) is refused with ValueError.

        Examples
        --------
        >>> StreamingEvaluator.from_bytes(data).compute()  # doctest: +SKIP
        """
        return _restore(bytes(data))

    def _attach_ground_truth(self) -> None:
        """Loads the ground-truth file of an unpickled state and checks that
        it is the one the state was made with."""
        if self._gt_path is None:
            raise ValueError(
                "this state came without its ground truth (it was made from a loaded dataset, which is not "
                "pickled): merge it into a StreamingEvaluator built on that ground truth, ev.merge(state)"
            )
        path = self._gt_path
        if self._gt_file_digest is not None and os.path.exists(path) and _file_digest(path) != self._gt_file_digest:
            raise ValueError(
                f"the ground-truth file '{path}' has changed since this state was made (its content differs)"
            )
        self._gt, _, self._known_images = _open_ground_truth(path, self.iou_type)
        expected, self._gt_fp = self._gt_fp, None
        if self.gt_fingerprint() != expected:
            self._gt, self._gt_fp = None, expected
            raise ValueError(f"the ground-truth file '{path}' is not the one this state was made with")

    def __repr__(self) -> str:
        source = self._gt_path or "a loaded dataset"
        return f"<StreamingEvaluator {self.iou_type}{' lvis' if self.lvis else ''}: {len(self)} detections on {source}>"


def _restore(data: bytes) -> StreamingEvaluator:
    """An evaluator from ``to_bytes``; its ground truth loads from its
    file when first needed (a dataset dict is not carried along)."""
    view = memoryview(data)
    if len(view) < _HEADER.size:
        raise ValueError("not a vantorel streaming state: too short")
    magic, version, head_len = _HEADER.unpack_from(view)
    if magic != _MAGIC:
        raise ValueError("not a vantorel streaming state")
    if version not in (1, _STATE_VERSION):
        raise ValueError(
            f"streaming state format {version} cannot be read: this vantorel reads formats 1 and {_STATE_VERSION}"
        )
    if version >= 2:
        if (
            len(view) < _HEADER.size + _DIGEST_SIZE
            or hashlib.sha256(view[:-_DIGEST_SIZE]).digest() != view[-_DIGEST_SIZE:]
        ):
            raise ValueError("streaming state is damaged: its checksum does not match its content")
        view = view[:-_DIGEST_SIZE]
    start = _HEADER.size + head_len
    ev = StreamingEvaluator.__new__(StreamingEvaluator)
    try:
        header = json.loads(bytes(view[_HEADER.size : start]))
        ev.iou_type, ev.lvis = str(header["iou_type"]), bool(header["lvis"])
        ev._params = _params_from_json(header["params"])
        ev._params_fp, ev._gt_fp = bytes.fromhex(header["params_fp"]), bytes.fromhex(header["gt_fp"])
        ev._gt, ev._gt_path, ev._known_images, ev._sizes = None, header["gt_path"], None, None
        digest = header.get("gt_file_sha256")
        ev._gt_file_digest = bytes.fromhex(digest) if digest is not None else None
        row_count, blob_size = int(header["rows"]), int(header["blob"])
    except (KeyError, TypeError, ValueError) as err:
        raise ValueError(f"streaming state header is damaged ({err})") from err
    if _params_fingerprint(ev._params, ev.lvis) != ev._params_fp or ev._params.iou_type != ev.iou_type:
        raise ValueError("streaming state is damaged: its parameters do not match their fingerprint")
    ev._table = _columns.RowTable(_columns.row_dtype(ev.iou_type))
    row_end = start + row_count * ev._table.dtype.itemsize
    if row_count < 0 or len(view) != row_end + blob_size:
        raise ValueError("streaming state is truncated or has trailing bytes")
    ev._table.adopt(np.frombuffer(view[start:row_end], ev._table.dtype))
    ev._blob = bytearray(view[row_end:])
    return ev


def _load_file(path: str | os.PathLike[str], iou_type: str) -> Any:
    """A results file: box results as a compact handle where the file
    allows; other types as the file's dicts, not completed (a box derived
    from a mask would otherwise count as a given one)."""
    if iou_type == "bbox":
        return results_side(path)
    dets = read_json(path)
    if not isinstance(dets, list):
        check_results(dets)  # names a dataset given as results
        raise ValueError("a results file must hold a JSON array of detections")
    return dets


def _handle_results(handle: _zerlin.CompactBbox, iou_type: str) -> Any:
    """A handle's rows, or its dicts where rows would lose something: the
    geometry of other types, or ids beyond float64's exact integers."""
    if handle.from_array:
        return handle.array_rows()
    if iou_type == "bbox" and _zerlin.results_shape(handle) == "boxes":
        rows = handle.array_rows()
        if not len(rows) or np.abs(rows[:, [0, 6]]).max() < _EXACT_ID:
            return rows
    return handle.annotations()


def _open_ground_truth(gt: Any, iou_type: str) -> tuple[Any, str | None, np.ndarray | None]:
    """What ``evaluate`` is given as ground truth, the file's path (if any)
    and the sorted image ids for checking results (None when not ints)."""
    path = None
    source: Any
    if isinstance(gt, LoadedGroundTruth):  # already loaded (the compat COCO's columns): not read again
        dataset, source = gt.dataset, gt
    elif isinstance(gt, (str, os.PathLike)):
        path = os.path.abspath(gt)  # found again from another working directory
        with naming_file("ground-truth", path):
            dataset, anns = ground_truth_side(path, iou_type)
        source = LoadedGroundTruth(dataset, anns)
    else:
        given = gt if isinstance(gt, dict) else getattr(gt, "dataset", None)
        if not isinstance(given, dict):
            raise TypeError(
                "gt must be a dataset path, a dataset dict or an object with a 'dataset' dict "
                f"(such as vantorel.compat.coco.COCO), not {type(gt).__name__}"
            )
        dataset = given
        check_dataset(dataset)
        if dataset["annotations"] is None:
            raise ValueError("the ground truth's 'annotations' must be an array, not NoneType")
        source = dataset
    ids = np.asarray([img["id"] for img in dataset["images"]])
    known = np.unique(ids).astype(np.int64) if ids.dtype.kind in "iu" else None
    return source, path, known


def _int_bytes(values: list[Any]) -> bytes:
    try:
        return np.asarray(values, dtype=np.int64).tobytes()
    except (TypeError, ValueError, OverflowError):
        return repr(values).encode()  # ids of other kinds still fingerprint


def ground_truth_fingerprint(dataset: dict[str, Any], anns: Any) -> bytes:
    """SHA-256 over a ground truth's image ids and sizes, its category ids,
    and each annotation's image, category and box, the same whether the
    annotations are dicts or a compact handle: what states compare before
    they merge, and an unpickled state checks against its file.

    Examples
    --------
    >>> ground_truth_fingerprint({"images": [], "categories": []}, []).hex()[:8]
    'af5570f5'
    """
    h = hashlib.sha256()
    images = dataset["images"]
    h.update(_int_bytes([img["id"] for img in images]))
    h.update(_int_bytes([[img.get("height", -1), img.get("width", -1)] for img in images]))
    h.update(_int_bytes([c["id"] for c in dataset.get("categories", [])]))
    if isinstance(anns, _zerlin.CompactBbox):
        rows = anns.array_rows()[:, [0, 6, 1, 2, 3, 4]]
    else:
        rows = np.array(
            [[a["image_id"], a.get("category_id", -1), *_box_of(a)] for a in anns], dtype=np.float64
        ).reshape(-1, 6)
    h.update(struct.pack("<Q", len(rows)))
    h.update(np.ascontiguousarray(rows, dtype=np.float64).tobytes())
    return h.digest()


_NO_BOX = (math.nan,) * 4


def _box_of(ann: dict[str, Any]) -> Any:
    box = ann.get("bbox")
    try:
        return _NO_BOX if box is None or len(box) != 4 else box
    except TypeError:
        return _NO_BOX


def _file_digest(path: str) -> bytes:
    """SHA-256 of a file's bytes (checked when a state loads its ground truth
    again); hashed once per file version, however often states are written."""
    st = os.stat(path)
    return _digest_of_version(path, st.st_size, st.st_mtime_ns, st.st_ino)


@functools.lru_cache(maxsize=16)
def _digest_of_version(path: str, size: int, mtime_ns: int, inode: int) -> bytes:
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").digest()


def _params_as_json(p: Params) -> dict[str, Any]:
    def plain(v: Any) -> Any:
        return np.asarray(v).tolist() if isinstance(v, np.ndarray) else v

    return {name: plain(getattr(p, name)) for name in p.__dataclass_fields__}


def _params_from_json(fields: dict[str, Any]) -> Params:
    p = Params(**fields)
    p.iou_thrs, p.rec_thrs, p.kpt_sigmas = (
        np.asarray(v, dtype=np.float64) for v in (p.iou_thrs, p.rec_thrs, p.kpt_sigmas)
    )
    return p


def _params_fingerprint(p: Params, lvis: bool) -> bytes:
    text = json.dumps([_params_as_json(p), lvis], sort_keys=True, default=_json_default)
    return hashlib.sha256(text.encode()).digest()


def _ids_exact_as_float(rows: np.ndarray) -> bool:
    return not len(rows) or all(
        rows[k].min() >= -_EXACT_ID and rows[k].max() <= _EXACT_ID for k in ("image_id", "category_id")
    )


def _json_default(value: Any) -> Any:
    """NumPy values in parameters (ids as np.int64, arrays) as plain JSON."""
    if isinstance(value, (np.generic, np.ndarray)):
        return value.tolist()
    raise TypeError(f"parameter value {value!r} cannot be stored in a streaming state")
