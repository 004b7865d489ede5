"""``pycocotools.cocoeval`` (``COCOeval``, ``Params``) on the native engine.

``evaluate()`` builds one native evaluator from the parameters as they stand
when it runs; the engine computes precision, recall and scores when they are
first needed, ``accumulate()`` hands them over and ``summarize()`` prints the
reference's lines. The reference's per-image objects (``evalImgs``, ``ious``, ``_gts``,
``_dts``) are made only when someone reads them. ``accumulate()`` after a
caller replaced ``evalImgs``, ``params`` or ``_paramsEval`` (as a multi-process
merge does) accumulates the given records instead, in NumPy (records changed
in place, without assigning ``evalImgs``, are not seen). A subclass that
overrides ``_prepare``, ``computeIoU``, ``computeOks`` or ``evaluateImg`` is
evaluated through those methods.

Across processes, ``COCOeval.merge`` combines the evaluators of several ranks
exactly (as one evaluator given all results in rank order). A ``COCOeval``
whose results were made by ``COCO.loadRes`` pickles as its parameters, its
results as a compact ``StreamingEvaluator`` state (56 bytes a box result),
its ground truth by file name, ``eval`` and ``stats``, and ``evalImgs`` only
where the caller assigned them; other evaluators pickle every member, as the
reference's do.

Deliberate differences from the reference:

- ``evaluate()`` does not write into the annotation dicts (the reference adds
  "ignore" to ground truths and replaces segmentations by RLEs); calling
  ``_prepare()`` explicitly, or reading ``_gts``/``_dts``, still does.
- Each annotation is evaluated as itself. The reference looks annotations up
  by id, so a file with a repeated id evaluates one of them twice and the
  other never; here both count.
- As in the reference, a detection matched to a ground truth whose id is 0
  counts as a false positive (the reference marks "no match" with id 0);
  such ground truth is evaluated through the reference's per-image steps and
  a warning says so once. ``vantorel.evaluate`` counts such matches.
- ``params.iouThrs`` changed between ``evaluate()`` and ``accumulate()``
  raises IndexError (the reference fails so when the count changes, and
  labels the old thresholds' results with the new values when it does not).
- ``summarize()`` with fewer than three ``maxDets`` uses the last one where
  the reference fails with IndexError; ``accumulate()`` with ``useCats=0``
  leaves ``params.catIds`` as it is (the reference sets it to [-1], after which
  a second ``evaluate()`` finds nothing).
- ``accumulate()`` before ``evaluate()`` raises RuntimeError (the reference
  prints its warning and fails with AttributeError).
- A detection whose box holds NaN never matches (its IoU with everything is
  0); the reference can count it as a true positive.
- Boundary IoU rounds the erosion count (dilation ratio x image diagonal)
  half away from zero; faster-coco-eval and the boundary-IoU reference round
  half to even, which on 500x375 images at the default ratio 0.02 changes
  the erosion by one pixel and AP by about 1e-4.
- The arrays of one ``evaluate()``'s ``evalImgs`` records are views into one
  buffer (made once, not one allocation each): dtypes, shapes and values are
  the reference's, and writing into one record leaves the others alone, but
  they do not own their data (``ndarray.resize`` in place refuses them).

Examples
--------
>>> from vantorel.compat.coco import COCO
>>> from vantorel.compat.cocoeval import COCOeval
>>> gt = COCO("data/instances_val2014_100.json")                        # doctest: +SKIP
>>> dt = gt.loadRes("data/instances_val2014_fakebbox100_results.json")  # doctest: +SKIP
>>> E = COCOeval(gt, dt, "bbox"); E.evaluate(); E.accumulate(); E.summarize()  # doctest: +SKIP
"""

from __future__ import annotations

import copy
import datetime
import time
import warnings
from collections import defaultdict
from typing import Any, SupportsIndex, cast

import numpy as np

from .. import _engine, _zerlin
from .._lazy import build_lock
from ..loading import gc_paused
from ..params import COCO_KPT_SIGMAS, KEYPOINT_TYPES
from ..streaming import StreamingEvaluator
from . import _perimage, _state
from ._copying import deep_copy
from ._output import emit

__all__ = ["COCOeval", "COCOeval_faster", "COCOeval_opt", "Params"]

_GEOMETRY_TYPES = ("bbox", "segm", "boundary")
_SUPPORTED = ("segm", "bbox", "keypoints", "boundary") + KEYPOINT_TYPES[1:]


class EvaluationError(Exception):
    """Raised where the reference raises a bare Exception (an unknown iouType,
    summarize() before accumulate()), so that handlers of either catch it."""


_PENDING = object()


class Params:
    """Evaluation parameters with the reference's names and defaults.

    ``iouType`` is "segm", "bbox", "keypoints" or "boundary"; the detection
    kinds get maxDets [1, 10, 100] and four area ranges, keypoints [20] and
    three, with the COCO person keypoint sigmas.
    """

    def __init__(self, iouType: str = "segm") -> None:
        if iouType in ("segm", "bbox", "boundary"):
            self.setDetParams()
        elif iouType == "keypoints":
            self.setKpParams()
        else:
            raise EvaluationError("iouType not supported")
        self.iouType = iouType
        self.useSegm: Any = None

    def _common(self) -> None:
        self.imgIds: Any = []
        self.catIds: Any = []
        self.maxDets: Any
        self.areaRng: Any
        self.areaRngLbl: Any
        self.useCats: Any
        self.iouThrs: Any = np.linspace(0.5, 0.95, int(np.round((0.95 - 0.5) / 0.05)) + 1, endpoint=True)
        self.recThrs: Any = np.linspace(0.0, 1.00, int(np.round((1.00 - 0.0) / 0.01)) + 1, endpoint=True)

    def setDetParams(self) -> None:
        """Box and mask defaults."""
        self._common()
        self.maxDets = [1, 10, 100]
        self.areaRng = [[0**2, 1e5**2], [0**2, 32**2], [32**2, 96**2], [96**2, 1e5**2]]
        self.areaRngLbl = ["all", "small", "medium", "large"]
        self.useCats = 1

    def setKpParams(self) -> None:
        """Keypoint defaults."""
        self._common()
        self.maxDets = [20]
        self.areaRng = [[0**2, 1e5**2], [32**2, 96**2], [96**2, 1e5**2]]
        self.areaRngLbl = ["all", "medium", "large"]
        self.useCats = 1
        self.kpt_oks_sigmas = COCO_KPT_SIGMAS.copy()


class COCOeval:
    """COCO evaluation of ``cocoDt`` against ``cocoGt``, with the reference's API.

    Parameters
    ----------
    cocoGt, cocoDt : COCO or None
        Ground truth and results (``cocoDt`` may be assigned later).
    iouType : str
        "segm" (default), "bbox", "keypoints" or "boundary".
    """

    def __init__(self, cocoGt: Any = None, cocoDt: Any = None, iouType: str = "segm") -> None:
        if not iouType:
            emit("iouType not specified. use default iouType segm")
        self._coco_gt: Any = cocoGt
        self._coco_dt: Any = cocoDt
        # Detections merged from other evaluators or unpickled, of which
        # cocoDt is made when first read; the file of an unpickled one's
        # ground truth, loaded when first read.
        self._state: StreamingEvaluator | None = None
        self._gt_path: str | None = None
        self._eval_imgs: Any = defaultdict(list)
        self.eval: dict[Any, Any] = {}
        self._gts_: Any = defaultdict(list)
        self._dts_: Any = defaultdict(list)
        self.params = Params(iouType=iouType)
        self._paramsEval: Any = {}
        self.stats: Any = []
        self._ious: Any = {}
        self._native: Any = None  # the engine's run and what it was made from
        if cocoGt is not None:
            self.params.imgIds = sorted(cocoGt.getImgIds())
            self.params.catIds = sorted(cocoGt.getCatIds())

    # -- lazily made reference objects ----------------------------------------

    # Each is built under the object's lock and published whole (readers in
    # other threads wait for it rather than see it half made).

    @property
    def cocoGt(self) -> Any:
        if self._coco_gt is None and self._gt_path is not None:
            with build_lock(self):
                if self._coco_gt is None:
                    self._coco_gt = _state.load_ground_truth(self._gt_path)
        return self._coco_gt

    @cocoGt.setter
    def cocoGt(self, value: Any) -> None:
        self._coco_gt = value

    @property
    def cocoDt(self) -> Any:
        if self._coco_dt is _PENDING:
            with build_lock(self):
                if self._coco_dt is _PENDING:
                    self._coco_dt = _state.result_set(self.cocoGt, cast(StreamingEvaluator, self._state))
        return self._coco_dt

    @cocoDt.setter
    def cocoDt(self, value: Any) -> None:
        self._coco_dt, self._state = value, None

    @property
    def evalImgs(self) -> Any:
        if self._eval_imgs is _PENDING:
            with build_lock(self), gc_paused():
                if self._eval_imgs is _PENDING:
                    self._eval_imgs = self._native_eval_imgs()
        return self._eval_imgs

    @evalImgs.setter
    def evalImgs(self, value: Any) -> None:
        self._eval_imgs = value
        if self._native is not None:
            self._native["replaced"] = True

    @property
    def ious(self) -> Any:
        if self._ious is _PENDING:
            with build_lock(self), gc_paused():
                if self._ious is _PENDING:
                    p = self._native["params"] if self._native else self.params
                    cats = p.catIds if p.useCats else [-1]
                    self._ious = {(i, c): self._compute(i, c, p) for i in p.imgIds for c in cats}
        return self._ious

    @ious.setter
    def ious(self, value: Any) -> None:
        self._ious = value

    @property
    def _gts(self) -> Any:
        if self._gts_ is _PENDING:
            with build_lock(self):
                if self._gts_ is _PENDING:
                    self._prepare_for(self._native["params"])
        return self._gts_

    @_gts.setter
    def _gts(self, value: Any) -> None:
        self._gts_ = value

    @property
    def _dts(self) -> Any:
        if self._dts_ is _PENDING:
            with build_lock(self):
                if self._dts_ is _PENDING:
                    self._prepare_for(self._native["params"])
        return self._dts_

    @_dts.setter
    def _dts(self, value: Any) -> None:
        self._dts_ = value

    # -- the reference's steps ------------------------------------------------

    def _prepare(self) -> None:
        """Groups ground truths and detections by (image, category) into
        ``_gts``/``_dts``, setting "ignore" and, for masks, RLE segmentations."""
        self._prepare_for(self.params)
        self._eval_imgs = defaultdict(list)
        self.eval = {}

    def _prepare_for(self, p: Params) -> None:
        gt, dt = self.cocoGt, self.cocoDt
        if p.useCats:
            gts = gt.loadAnns(gt.getAnnIds(imgIds=p.imgIds, catIds=p.catIds))
            dts = dt.loadAnns(dt.getAnnIds(imgIds=p.imgIds, catIds=p.catIds))
        else:
            gts = gt.loadAnns(gt.getAnnIds(imgIds=p.imgIds))
            dts = dt.loadAnns(dt.getAnnIds(imgIds=p.imgIds))
        if p.iouType in ("segm", "boundary"):
            for ann in gts + dts:
                ann["segmentation"] = gt.annToRLE(ann)
        for g in gts:
            g["ignore"] = "iscrowd" in g and g["iscrowd"]  # a file's own "ignore" does not count
            if p.iouType in KEYPOINT_TYPES:
                g["ignore"] = (g["num_keypoints"] == 0) or g["ignore"]
        by_gt: defaultdict[Any, list[Any]] = defaultdict(list)
        by_dt: defaultdict[Any, list[Any]] = defaultdict(list)
        for g in gts:
            by_gt[g["image_id"], g["category_id"]].append(g)
        for d in dts:
            by_dt[d["image_id"], d["category_id"]].append(d)
        self._gts_, self._dts_ = by_gt, by_dt  # published whole, for readers in other threads

    def _pair(self, img_id: Any, cat_id: Any, p: Params) -> tuple[list[Any], list[Any]]:
        if p.useCats:
            return self._gts[img_id, cat_id], self._dts[img_id, cat_id]
        gts = [g for c in p.catIds for g in self._gts[img_id, c]]
        dts = [d for c in p.catIds for d in self._dts[img_id, c]]
        return gts, dts

    def _compute(self, img_id: Any, cat_id: Any, p: Params) -> Any:
        if p.iouType in KEYPOINT_TYPES:
            return self._oks(img_id, cat_id, p)
        if p.iouType not in _GEOMETRY_TYPES:
            raise ValueError(
                f"unknown iouType for iou computation: iouType must be one of {', '.join(_GEOMETRY_TYPES)};"
                f" got {p.iouType!r}"
            )
        gts, dts = self._pair(img_id, cat_id, p)
        if not gts and not dts:
            return []
        dts = _perimage.sorted_detections(dts, p.maxDets[-1])
        return _perimage.iou_matrix(gts, dts, p.iouType)

    def _oks(self, img_id: Any, cat_id: Any, p: Params) -> Any:
        gts, dts = self._pair(img_id, cat_id, p)
        dts = _perimage.sorted_detections(dts, p.maxDets[-1])
        return _perimage.oks_matrix(gts, dts, p.kpt_oks_sigmas)

    def computeIoU(self, imgId: Any, catId: Any) -> Any:
        """D x G box or mask IoU of one image and category (detections by score)."""
        return self._compute(imgId, catId, self.params)

    def computeOks(self, imgId: Any, catId: Any) -> Any:
        """D x G keypoint similarity of one image and category (detections by score)."""
        return self._oks(imgId, catId, self.params)

    def evaluateImg(self, imgId: Any, catId: Any, aRng: Any, maxDet: int) -> dict[Any, Any] | None:
        """The reference's per-image record (matches, ignores, scores), or None."""
        p = self.params
        gts, dts = self._pair(imgId, catId, p)
        if not gts and not dts:
            return None
        return _perimage.evaluate_image(gts, dts, self.ious[imgId, catId], p.iouThrs, aRng, maxDet, imgId, catId)

    # -- evaluate / accumulate / summarize ------------------------------------

    def evaluate(self) -> None:
        """Evaluates every image and category with the current ``params``."""
        if self._coco_dt is _PENDING:
            self._coco_dt = self.cocoDt  # merged or unpickled results: said now if their ground truth is missing
        tic = time.time()
        emit("Running per image evaluation...")
        p = self.params
        if p.useSegm is not None:
            p.iouType = "segm" if p.useSegm == 1 else "bbox"
            emit(f"useSegm (deprecated) is not None. Running {p.iouType} evaluation")
        emit(f"Evaluate annotation type *{p.iouType}*")
        p.imgIds = list(np.unique(p.imgIds))
        if p.useCats:
            p.catIds = list(np.unique(p.catIds))
        p.maxDets = sorted(p.maxDets)
        self.params = p
        if self._uses_own_steps() or not _integer_ids(p) or _has_id_zero(self.cocoGt):
            self._evaluate_python(p)
        else:
            self._evaluate_native(p)
        self._paramsEval = deep_copy(self.params)
        if self._native is not None:
            self._native["params_eval"] = self._paramsEval
        emit(f"DONE (t={time.time() - tic:0.2f}s).")

    #: Whether evaluate() calls computeIoU/computeOks for an (image, category)
    #: with ground truth or detections alone (whose value is [] either way):
    #: pycocotools does; faster-coco-eval calls it only where both are.
    _computes_one_sided_pairs = True

    def _uses_own_steps(self) -> bool:
        cls = type(self)
        return any(
            getattr(cls, name) is not getattr(COCOeval, name)
            for name in ("_prepare", "computeIoU", "computeOks", "evaluateImg")
        )

    def _evaluate_python(self, p: Params) -> None:
        self._native = None
        self._prepare()
        cats = p.catIds if p.useCats else [-1]
        compute = self.computeOks if p.iouType in KEYPOINT_TYPES else self.computeIoU
        if self._computes_one_sided_pairs:
            self._ious = {(i, c): compute(i, c) for i in p.imgIds for c in cats}
        else:
            self._ious = {(i, c): compute(i, c) if all(self._pair(i, c, p)) else [] for i in p.imgIds for c in cats}
        max_det = p.maxDets[-1]
        self._eval_imgs = [self.evaluateImg(i, c, a, max_det) for c in cats for a in p.areaRng for i in p.imgIds]

    def _evaluate_native(self, p: Params) -> None:
        if p.iouType not in _SUPPORTED:
            raise ValueError(f"iouType must be one of {', '.join(_SUPPORTED)}; got {p.iouType!r}")
        self._native = None
        gt = self.cocoGt
        img_sizes: dict[Any, Any] = {}
        if p.iouType in ("segm", "boundary"):
            img_sizes = {i: (img["height"], img["width"]) for i, img in gt.imgs.items() if "height" in img}
        gt_side, dt_side = _restricted_sides(gt, self.cocoDt, p)
        core = _state.core_params(p)
        for name, value in self._engine_options().items():
            setattr(core, name, value)
        gt_side, federated = self._federated_input(gt_side)
        try:
            ev = _engine.evaluator(gt_side, dt_side, img_sizes, core, federated)
        except TypeError:
            # Whole-number float ids (image_id 1.0), which the reference finds
            # by equality: the engine takes them as ints, through copies.
            ev = _engine.evaluator(_int_ids(gt_side), _int_ids(dt_side), img_sizes, core, federated)
        # The engine runs when its output is first needed: accumulate() asks
        # for the arrays, a read of evalImgs for the records alone.
        self._native = {"evaluator": ev, "params": deep_copy(p), "replaced": False}
        self._eval_imgs = _PENDING
        self._ious = _PENDING
        self._gts_ = self._dts_ = _PENDING
        self.eval = {}

    def _engine_options(self) -> dict[str, Any]:
        """Engine parameters a subclass sets beyond the reference's (``use_area``, ``boundary_dilation``)."""
        return {}

    def _federated_input(self, gt_side: Any) -> tuple[Any, _engine.Federated | None]:
        """The ground truth to evaluate and, for a subclass that evaluates
        LVIS-style, the federated input (none here)."""
        return gt_side, None

    def _native_eval_imgs(self) -> list[Any]:
        """The engine's records in the reference's layout and types, made by
        the engine directly (no precision arrays: a per-batch loop that only
        collects records pays for matching alone)."""
        nat = self._native
        p = nat["params"]
        cats = p.catIds if p.useCats else [-1]
        return _zerlin.reference_eval_imgs(nat["evaluator"], p.imgIds, cats, p.areaRng, p.maxDets[-1])

    def accumulate(self, p: Params | None = None) -> None:
        """Precision, recall and scores per threshold, category, area range and maxDets, into ``eval``."""
        emit("Accumulating evaluation results...")
        tic = time.time()
        if self._eval_imgs is not _PENDING and not self._eval_imgs:
            emit("Please run evaluate() first")
            if not isinstance(self._paramsEval, Params):
                raise RuntimeError("Please run evaluate() first")
        if p is None:
            p = self.params
        evaluated = self._paramsEval
        if isinstance(evaluated, Params) and not np.array_equal(
            np.asarray(p.iouThrs, dtype=float), np.asarray(evaluated.iouThrs, dtype=float)
        ):
            raise IndexError(
                "params.iouThrs changed after evaluate(), whose matches were made at the earlier "
                "thresholds: run evaluate() again"
            )
        nat = self._native
        if (
            nat is not None
            and not nat["replaced"]
            and self._paramsEval is nat["params_eval"]
            and _same_setting(p, nat["params"])
        ):
            # A run of its own each time: its arrays are handed over, not
            # copied, and a caller may change them.
            run = nat["evaluator"].run()
            precision, recall, scores = run["precision"], run["recall"], run["scores"]
        else:
            precision, recall, scores = _perimage.accumulate_records(self.evalImgs, p, self._paramsEval)
        T, R = len(p.iouThrs), len(p.recThrs)
        K = len(p.catIds) if p.useCats else 1
        self.eval = {
            "params": p,
            "counts": [T, R, K, len(p.areaRng), len(p.maxDets)],
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
            "precision": precision,
            "recall": recall,
            "scores": scores,
        }
        emit(f"DONE (t={time.time() - tic:0.2f}s).")

    def _summarize(self, ap: int = 1, iouThr: float | None = None, areaRng: str = "all", maxDets: int = 100) -> float:
        """Prints and returns one summary line: the mean precision (``ap=1``)
        or recall over the cells of ``eval`` that have a value."""
        return self._print_line(
            _engine.Line("", ap == 1, iouThr, areaRng, maxDets), _engine.Axes.of_reference(self.params)
        )

    def _print_line(self, line: _engine.Line, axes: _engine.Axes) -> float:
        mean = _engine.line_value(line, self.eval["precision"], self.eval["recall"], axes)
        emit(f" {line.label(axes.iou_thrs)} = {mean:0.3f}")
        return mean

    def summarize(self) -> None:
        """Prints the summary lines and sets ``stats`` (12 values, 10 for keypoints)."""
        if not self.eval:
            raise EvaluationError("Please run accumulate() first")
        axes = _engine.Axes.of_reference(self.params)
        self.stats = np.array([self._print_line(line, axes) for line in _engine.summary_lines("pycocotools", axes)])

    @property
    def stats_as_dict(self) -> dict[Any, Any]:
        """The summary statistics by the names faster-coco-eval gives them,
        with recall at IoU 0.50 and 0.75 for the largest maxDets."""
        axes = _engine.Axes.of_reference(self.params)
        out = {line.key: float(v) for line, v in zip(_engine.summary_lines("pycocotools", axes), self.stats)}
        for line in _engine.extra_lines(axes):
            value = _engine.line_value(line, self.eval["precision"], self.eval["recall"], axes)
            out[line.key] = value if line.max_det else -1.0
        return out

    # -- many processes -------------------------------------------------------

    def merge(self, *others: COCOeval) -> COCOeval:
        """Adds the results of other evaluators (of other processes, say),
        in the order given, after this one's: the outcome is that of one
        evaluator whose ``cocoDt`` is ``cocoGt.loadRes`` of all the results
        in that order. Returns ``self``, ready for ``evaluate()``.

        Every evaluator must have the same ground truth and the same
        ``params`` (so give each rank all image ids, not its own), and
        results made by ``COCO.loadRes``; otherwise ValueError, before
        anything changes. A pickled ``COCOeval`` (``all_gather_object``)
        carries its results as a compact ``StreamingEvaluator`` state and
        its ground truth by file name, so merging gathered evaluators moves
        no per-detection Python objects between processes.

        Examples
        --------
        >>> E = COCOeval(gt, gt.loadRes(my_results), "bbox")       # doctest: +SKIP
        >>> dist.all_gather_object(gathered, E)                     # doctest: +SKIP
        >>> E.merge(*gathered[1:]).evaluate(); E.accumulate(); E.summarize()  # doctest: +SKIP
        """
        for k, other in enumerate(others):
            if not isinstance(other, COCOeval):
                raise TypeError(f"merge takes COCOeval objects; argument {k} is a {type(other).__name__}")
        mine = self._own_detections("this evaluator")
        theirs = []
        for k, other in enumerate(others):
            if other is self:
                theirs.append(mine)
                continue
            _check_same_params(self.params, other.params, f"evaluator {k}")
            theirs.append(other._own_detections(f"evaluator {k}"))
        mine.merge(*theirs)
        self._coco_dt, self._state = _PENDING, mine
        self._native = None
        self._eval_imgs, self._ious, self.eval, self._paramsEval, self.stats = defaultdict(list), {}, {}, {}, []
        self._gts_, self._dts_ = defaultdict(list), defaultdict(list)
        return self

    def streaming_state(self) -> StreamingEvaluator:
        """The results as a new ``vantorel.StreamingEvaluator`` with these
        parameters: ``compute()`` gives the engine's ``EvalResult`` of them,
        and it merges with the states of other processes.

        Examples
        --------
        >>> E.streaming_state().compute().stats[0]  # doctest: +SKIP
        """
        held = self._own_detections("this evaluator")
        if held is not self._state:
            return held
        try:
            state = _state.empty_state(self.cocoGt, self.params)
        except _state.NotCompact as err:
            raise ValueError(f"cannot make a state of this evaluator: {err}") from None
        return state.merge(held)

    def _own_detections(self, who: str) -> StreamingEvaluator:
        """The held state (given the current parameters), or one made from cocoDt."""
        try:
            if self._state is not None:
                _state.relabel(self._state, self.params)
                return self._state
            return _state.export(self.cocoGt, self._coco_dt, self.params)
        except _state.NotCompact as err:
            raise ValueError(f"cannot take the results of {who} as a compact state: {err}") from None

    def _caller_records(self) -> bool:
        """Whether evalImgs were assigned by the caller (the engine's own are
        made again by evaluate())."""
        records = self._eval_imgs
        if records is _PENDING or not len(records):
            return False
        return self._native is None or bool(self._native["replaced"])

    def __reduce_ex__(self, protocol: SupportsIndex) -> str | tuple[Any, ...]:
        """Pickled as parameters, results (a compact state), and ``eval`` and
        ``stats`` once computed; evalImgs only where the caller assigned them.
        Results not made by ``loadRes`` pickle every member as usual."""
        try:
            detections = self._own_detections("this evaluator")
        except ValueError:
            return super().__reduce_ex__(protocol)
        records = self._caller_records()
        payload = {
            "format": _PICKLE_FORMAT,
            "params": self.params,
            "detections": detections,
            "eval": self.eval,
            "stats": self.stats,
            "evalImgs": self._eval_imgs if records else None,
            "paramsEval": self._paramsEval if records else None,
        }
        return (_restore, (type(self), payload))

    # copy.copy and copy.deepcopy copy the members, as they do the reference's
    # (not the pickled form, which leaves the ground truth behind).
    def __copy__(self) -> COCOeval:
        new = type(self).__new__(type(self))
        new.__dict__.update(self.__dict__)
        return new

    def __deepcopy__(self, memo: dict[int, Any]) -> COCOeval:
        memo[id(_PENDING)] = _PENDING  # the marker stays itself
        new = type(self).__new__(type(self))
        memo[id(self)] = new
        for name, value in self.__dict__.items():
            new.__dict__[name] = copy.deepcopy(value, memo)
        return new

    def __str__(self) -> str:
        import contextlib
        import io

        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            self.summarize()
        return buf.getvalue()


_PICKLE_FORMAT = 1
_PARAM_NAMES = {"img_ids": "imgIds", "cat_ids": "catIds", "iou_thrs": "iouThrs", "rec_thrs": "recThrs",
                "max_dets": "maxDets", "area_rng": "areaRng", "area_labels": "areaRngLbl", "use_cats": "useCats",
                "kpt_sigmas": "kpt_oks_sigmas", "iou_type": "iouType"}  # fmt: skip


def _check_same_params(mine: Params, theirs: Params, who: str) -> None:
    a, b = _state.core_params(mine).to_dict(), _state.core_params(theirs).to_dict()
    differ = [_PARAM_NAMES.get(k, k) for k in a if a[k] != b[k]]
    if differ:
        raise ValueError(
            f"cannot merge {who}: its params differ in {', '.join(differ)} (every process needs the same "
            "params: all image ids, not its own)"
        )


def _restore(cls: type[COCOeval], payload: dict[str, Any]) -> COCOeval:
    """An evaluator from its pickled form; its ground truth loads from its
    file when first read, its cocoDt is made from the results when first read."""
    if not isinstance(payload, dict) or payload.get("format") != _PICKLE_FORMAT:
        raise ValueError(f"a pickled COCOeval of another format cannot be read (this vantorel reads {_PICKLE_FORMAT})")
    detections: StreamingEvaluator = payload["detections"]
    # The results' state checked its own bytes; the parameters beside it must be those it was pickled with.
    if not isinstance(detections, StreamingEvaluator) or (
        detections.params.to_dict() != _state.core_params(payload["params"]).to_dict()
    ):
        raise ValueError("a pickled COCOeval is damaged: its params do not match those its results were pickled with")
    ev = cls.__new__(cls)
    COCOeval.__init__(ev, None, None, payload["params"].iouType)
    ev.params, ev.eval, ev.stats = payload["params"], payload["eval"], payload["stats"]
    ev._state, ev._coco_dt, ev._gt_path = detections, _PENDING, detections.gt_path
    if payload["evalImgs"] is not None:
        ev._eval_imgs, ev._paramsEval = payload["evalImgs"], payload["paramsEval"]
    return ev


def _annotations_of(coco: Any) -> Any:
    """What the engine reads of a COCO object: its compact side where it has
    one, else the annotation dicts (also of another implementation's COCO)."""
    side = getattr(coco, "_evaluation_side", None)
    if side is not None:
        return side()
    return coco.dataset.get("annotations") or []


def _restricted_sides(gt: Any, dt: Any, p: Params) -> tuple[Any, Any]:
    """The annotations to hand the engine. When the parameters select a small
    part of the images or categories (a batch of a training loop, one class of
    a per-class loop), only the annotations of that part: the engine would
    leave the others out anyway, but would first read (and for masks,
    rasterise) every one of them, on each call."""
    gt_side, dt_side = _annotations_of(gt), _annotations_of(dt)
    few_images = len(p.imgIds) * 2 < len(gt.imgs)
    few_cats = bool(p.useCats) and len(p.catIds) * 2 < len(gt.cats)
    if not (few_images or few_cats):
        return gt_side, dt_side
    images, cats = set(p.imgIds), set(p.catIds)
    if few_images:
        by_image = gt.imgToAnns
        gt_side = [a for i in p.imgIds for a in by_image.get(i, ())]
    elif not isinstance(gt_side, list):
        gt_side = gt.dataset["annotations"]
    if few_cats:
        gt_side = [a for a in gt_side if a["category_id"] in cats]
    # A detection list is cut only where its ids are explicit (a default id
    # is the position in the list) and where reading it costs: masks.
    if p.iouType in ("segm", "boundary") and isinstance(dt_side, list) and all("id" in d for d in dt_side):
        dt_side = [
            d
            for d in dt_side
            if (not few_images or d["image_id"] in images) and (not few_cats or d["category_id"] in cats)
        ]
    return gt_side, dt_side


_warned_id_zero = False


def _has_id_zero(gt: Any) -> bool:
    """Whether the ground truth has an annotation whose id is 0 (warned once a process)."""
    global _warned_id_zero
    check = getattr(gt, "_has_annotation_id_zero", None)
    if check is not None:
        if not check():
            return False
    elif 0 not in getattr(gt, "anns", {}):  # another implementation's COCO
        return False
    if not _warned_id_zero:
        _warned_id_zero = True
        warnings.warn(
            "a ground-truth annotation has id 0: pycocotools cannot match it (it marks 'no match' "
            "with id 0), so detections of it count as false positives here as there; "
            "vantorel.evaluate counts them as matches",
            stacklevel=3,
        )
    return True


def _int_ids(side: Any) -> Any:
    """Annotation dicts with whole-number float image and category ids as ints (copies where changed)."""
    if not isinstance(side, list):
        return side
    out = []
    for a in side:
        fixes = {k: int(v) for k in ("image_id", "category_id") if isinstance(v := a.get(k), float) and v.is_integer()}
        out.append({**a, **fixes} if fixes else a)
    return out


def _integer_ids(p: Params) -> bool:
    for ids in (p.imgIds, p.catIds if p.useCats else []):
        kind = np.asarray(ids).dtype.kind
        if len(ids) and kind not in "iu":
            return False
    return True


def _same_setting(p: Any, q: Any) -> bool:
    """Whether p asks for the accumulation the engine made with q."""
    try:
        return (
            bool(p.useCats) == bool(q.useCats)
            and list(p.imgIds) == list(q.imgIds)
            and (not p.useCats or list(p.catIds) == list(q.catIds))
            and list(p.maxDets) == list(q.maxDets)
            and [list(map(float, a)) for a in p.areaRng] == [list(map(float, a)) for a in q.areaRng]
            and np.array_equal(np.asarray(p.iouThrs, dtype=float), np.asarray(q.iouThrs, dtype=float))
            and np.array_equal(np.asarray(p.recThrs, dtype=float), np.asarray(q.recThrs, dtype=float))
        )
    except (TypeError, ValueError):
        return False


# The names frameworks look up for a fast evaluator: detectron2 and mmdetection
# take ``COCOeval_opt`` when present; code that picks ``COCOeval_faster`` from
# this pycocotools-shaped module gets pycocotools' behaviour (faster-coco-eval's
# own API is vantorel.compat.faster.COCOeval_faster).
COCOeval_opt = COCOeval
COCOeval_faster = COCOeval
