"""faster-coco-eval's API (``COCO``, ``COCOeval_faster``) on vantorel's engine.

Code written for faster-coco-eval keeps its constructor keywords, ``run()``,
``stats_as_dict`` and its summary lines (sent to ``print_function``, by
default a logger's ``info``, so nothing is printed unless asked)::

    from vantorel.compat.faster import COCO, COCOeval_faster  # was: from faster_coco_eval import ...

or call ``vantorel.compat.install_as_faster_coco_eval()`` before that code
imports faster_coco_eval.

The package layout (``faster_coco_eval.core.*``) is
``vantorel.compat.faster_coco_eval``. ``lvis_style=True`` evaluates by
LVIS's rules (verified and non-exhaustive categories; no per-image cap, as
faster-coco-eval's ``loadRes`` keeps every result) with its frequency
lines; ``iouType="keypoints_crowd"`` is CrowdPose's evaluation (each crowd
type's AP is that of an evaluation of its images alone, every cell averaged,
to 4 places). ``extended_metrics`` agrees with faster-coco-eval except with
``params.useCats=0``, where its precision and recall here are those of all
detections pooled (faster-coco-eval's differ from that by a few thousandths).
``extra_calc`` gives faster-coco-eval's "mIoU" and "mAUC_50" (see
``_extra_calc``); its mIoU adds the IoUs in its C++ hash table's order, so
the mean here may differ in the last place or two, and a detection or
ground truth in several matched pairs (crowd regions, other matches in
other area ranges) is marked with the last in that order there, with one of
them here. Not provided: faster-coco-eval's private internals: its native modules' helpers
(``faster_eval_api_cpp`` and its ``Dataset``; ``mask_api_new_cpp``'s ``RLE``,
``erode_3x3``, ``_frString``/``_toString``; ``mask_api_new_cpp`` here holds
the public list functions only) and its worker-pool scheduling.

Boundary bands whose width (ratio times the image diagonal) is a whole
number and a half are rounded up here and down in faster-coco-eval: at the
default 0.02 that is every 375x500 image (12.5 pixels), so "boundary"
results on such images differ slightly (AP 0.22648 against 0.22639 on the
bundled val2014 sample).

The statistics agree with pycocotools to the last bit; faster-coco-eval's own
accumulation rounds a few precision values differently in the last place
(about 1e-16), which can move a mean in its 16th digit.

Examples
--------
>>> from vantorel.compat.faster import COCO, COCOeval_faster
>>> gt = COCO("data/instances_val2014_100.json")                        # doctest: +SKIP
>>> dt = gt.loadRes("data/instances_val2014_fakebbox100_results.json")  # doctest: +SKIP
>>> E = COCOeval_faster(gt, dt, "bbox", print_function=print)           # doctest: +SKIP
>>> E.run(); E.stats_as_dict["AP_all"]                                  # doctest: +SKIP
0.5045806987249628
"""

from __future__ import annotations

import contextvars
import copy
import json
import logging
import os
import sys
import time
import warnings
from collections import defaultdict
from collections.abc import Callable, Iterator
from typing import Any, SupportsIndex, cast

import numpy as np

from .. import _engine
from ..params import KEYPOINT_TYPES
from . import _extra_calc, _state
from . import coco as _coco
from . import cocoeval as _cocoeval
from ._output import emit, lines_to
from .cocoeval import COCOeval, Params

__all__ = ["COCO", "COCOeval_faster", "FasterParams", "init_as_pycocotools"]

_LOG = logging.getLogger(__name__)
# Set while COCOeval_faster.evaluate() runs the base evaluation (see FasterParams.useSegm).
_EVALUATING: contextvars.ContextVar[bool] = contextvars.ContextVar("vantorel_faster_evaluating", default=False)
_COCO_LOG = logging.getLogger(__name__ + ".coco")


def _dropped(line: str) -> None:
    """A sink for lines faster-coco-eval does not show."""


class _Printing:
    """``print_function``: where progress and summary lines go (an object
    without one of its own, as an unpickled one, uses the class default)."""

    _default_print: Callable[..., Any]

    @property
    def print_function(self) -> Callable[..., Any]:
        return getattr(self, "_print_function", self._default_print)

    @print_function.setter
    def print_function(self, value: Callable[..., Any]) -> None:
        self._print_function = value


_AUTHOR, _VERSION = "vantorel", "1.8.0"  # as faster_coco_eval.__author__ / __version__ here


def _integer_ids(ids: Any) -> Any:
    """``ids`` as given when it is an integer or integers, else TypeError."""
    items = ids if isinstance(ids, (list, tuple, set, np.ndarray, range)) else [ids]
    for i in items:
        if not isinstance(i, (int, np.integer)) or isinstance(i, bool):
            raise TypeError(f"ids must be integers or a sequence of integers, not {i!r}")
    return ids


class FasterParams(Params):
    """``Params`` with faster-coco-eval's keywords: ``kpt_sigmas`` (keypoint
    sigmas, for "keypoints") and ``ranges`` (area ranges by label, after "all"; for boxes and
    masks only, as there); its read-only snake_case names (``iou_type``,
    ``iou_thrs``, ``rec_thrs``, ``max_dets``, ``area_rng``, ``area_rng_lbl``,
    ``use_cats``, ``img_ids``, ``cat_ids``, ``img_count_lbl``), its fields
    ``compute_rle``, ``compute_boundary`` and ``imgCountLbl``, and its
    ``useSegm`` (1 for "segm", else 0; setting it sets iouType).

    Examples
    --------
    >>> p = FasterParams("bbox", ranges={"tiny": [0, 64], "rest": [64, 1e10]})
    >>> p.areaRngLbl
    ['all', 'tiny', 'rest']
    """

    def __init__(self, iouType: str = "segm", kpt_sigmas: list[float] | None = None,
                 ranges: dict[str, Any] | None = None) -> None:  # fmt: skip
        try:
            super().__init__("keypoints" if iouType == "keypoints_crowd" else iouType)
        except _cocoeval.EvaluationError:
            raise TypeError("iouType not supported") from None  # faster-coco-eval's type for it
        self.iouType = iouType
        if kpt_sigmas is not None and iouType in KEYPOINT_TYPES:
            self.kpt_oks_sigmas = np.array(kpt_sigmas, dtype=float)
        if ranges is not None and iouType not in KEYPOINT_TYPES:
            self.areaRng = [[0, 1e5**2]] + [list(r) for r in ranges.values()]
            self.areaRngLbl = ["all", *ranges]
        self.add_faster_fields()

    def add_faster_fields(self) -> None:
        """faster-coco-eval's own fields, as its constructor sets them (later
        iouType changes leave them, as there)."""
        self.compute_rle = self.iouType in ("segm", "boundary")
        self.compute_boundary = self.iouType == "boundary"
        self.imgCountLbl = ["r", "c", "f"]

    # useSegm as faster-coco-eval has it: 1 for "segm" else 0; setting it
    # sets iouType ("segm" for 1, else "bbox"), with its deprecation warning.
    # The base evaluate() reads a given useSegm as the legacy switch, which
    # this one has already applied: it reads None there.
    @property
    def useSegm(self) -> Any:
        if _EVALUATING.get():
            return None
        return int(self.iouType == "segm")

    @useSegm.setter
    def useSegm(self, value: Any) -> None:
        if value is not None:  # None: the base class's "not given"
            _LOG.warning("useSegm is deprecated. Please use iouType (string) instead.")
            self.iouType = "segm" if value == 1 else "bbox"


def _read_only_alias(name: str) -> property:
    """A snake_case name reading an attribute, as faster-coco-eval's Params has (no setter there either)."""
    return property(lambda self: getattr(self, name), doc=f"``{name}``.")


for _snake, _camel in [("iou_type", "iouType"), ("iou_thrs", "iouThrs"), ("rec_thrs", "recThrs"),
                       ("max_dets", "maxDets"), ("area_rng", "areaRng"), ("area_rng_lbl", "areaRngLbl"),
                       ("use_cats", "useCats"), ("img_ids", "imgIds"), ("cat_ids", "catIds"),
                       ("img_count_lbl", "imgCountLbl")]:  # fmt: skip
    setattr(FasterParams, _snake, _read_only_alias(_camel))


class COCO(_Printing, _coco.COCO):
    """``vantorel.compat.coco.COCO`` with faster-coco-eval's constructor
    keywords, snake_case names and ``to_dict()``.

    Parameters
    ----------
    annotation_file : str, os.PathLike, dict or None
        A dataset file or an already-loaded dataset dict.
    use_deepcopy : bool
        Copy a given dict deeply (else its lists are shared).
    print_function : callable
        Receives each progress line (default: a logger's ``debug``, silent
        unless logging is configured).

    Examples
    --------
    >>> gt = COCO("data/instances_val2014_100.json", print_function=print)  # doctest: +SKIP
    >>> gt.get_cat_ids(cat_names=["person"])                                # doctest: +SKIP
    [1]
    """

    _default_print = _COCO_LOG.debug

    def __init__(
        self,
        annotation_file: str | os.PathLike[str] | dict[Any, Any] | None = None,
        use_deepcopy: bool = False,
        print_function: Callable[..., Any] = _COCO_LOG.debug,
    ) -> None:
        self._print_function = print_function
        tic = time.time()
        if isinstance(annotation_file, dict):
            # The lines a file's loading gives, as faster-coco-eval sends them for a dict too.
            print_function("loading annotations into memory...")
            annotation_file = self.load_json(annotation_file, use_deepcopy)
            print_function(f"Done (t={time.time() - tic:0.2f}s)")
        with lines_to(print_function):
            super().__init__(annotation_file)
        if annotation_file is not None:
            print_function(f"Done (t={time.time() - tic:0.2f}s)")

    def createIndex(self) -> None:
        """Builds the lookup tables (``anns``, ``imgs``, ``cats``, ...); warns,
        as faster-coco-eval does, when an annotation's id is 0 (the evaluation
        cannot match it, as in pycocotools)."""
        self._integer_image_ids()
        with lines_to(self.print_function):
            super().createIndex()
        if 0 in self.anns:
            warnings.warn(
                "an annotation has id 0, which the evaluation takes for 'no match': number annotations from 1",
                stacklevel=2,
            )

    def info(self) -> None:
        """Sends the dataset's "info" entries to ``print_function``."""
        with lines_to(self.print_function):
            super().info()

    def loadRes(self, resFile: Any, min_score: float = 0.0) -> COCO:
        """A results ``COCO`` of this ground truth (see ``vantorel.compat.coco.COCO.loadRes``)
        keeping the results whose score is at least ``min_score``; its own
        progress lines go to the default ``print_function``."""
        if not isinstance(resFile, (str, os.PathLike, dict, list, np.ndarray)):
            raise TypeError(f"results of type {type(resFile).__name__} is not supported")
        if min_score > 0 and isinstance(resFile, np.ndarray):
            resFile = resFile[resFile[:, 5] >= min_score]
        elif min_score > 0:
            resFile = [r for r in self.load_json(cast(Any, resFile)) if r["score"] >= min_score]
        lines: list[str] = []
        with lines_to(lines.append):
            res = super().loadRes(resFile)
        done = next((n + 1 for n, line in enumerate(lines) if line.startswith("DONE (t=")), len(lines))
        for line in lines[:done]:
            self.print_function(line)
        for line in lines[done:]:
            _COCO_LOG.debug(line)
        res.__class__ = type(self)  # the same object, with this class's API
        return res  # type: ignore[return-value]

    @staticmethod
    def load_json(json_file: str | os.PathLike[str] | dict[Any, Any] | list[Any], use_deepcopy: bool = False) -> Any:
        """A dataset from a file, or a copy of a given dict or list (deep
        with ``use_deepcopy``, else sharing its members)."""
        if isinstance(json_file, (dict, list)):
            return copy.deepcopy(json_file) if use_deepcopy else copy.copy(json_file)
        with open(os.fspath(json_file), encoding="utf-8") as f:
            return json.load(f)

    def to_dict(self, separate_fn: bool = False) -> dict[str, Any]:
        """The dataset as a new dict: images, annotations and categories as
        indexed, with faster-coco-eval's "info". With ``separate_fn``, each
        category gets a twin "<name>_fn" (its id plus the largest category
        id) and the annotations an ``extra_calc`` evaluation flagged as
        missed ("fn") move, as copies, to their category's twin.

        Examples
        --------
        >>> gt = COCO({"images": [], "annotations": [], "categories": [{"id": 3, "name": "cat"}]})
        >>> gt.to_dict(separate_fn=True)["categories"]
        [{'id': 3, 'name': 'cat'}, {'id': 6, 'name': 'cat_fn'}]
        """
        cats = list(self.cats.values())
        anns = list(self.anns.values())
        if separate_fn:
            shift = max((c["id"] for c in cats), default=0)
            cats = cats + [{**c, "id": c["id"] + shift, "name": f"{c['name']}_fn"} for c in cats]
            anns = [{**a, "category_id": a["category_id"] + shift} if a.get("fn") else dict(a) for a in anns]
        return {
            "info": {"description": "Created from faster-coco-eval"},
            "images": list(self.imgs.values()),
            "annotations": anns,
            "categories": cats,
        }

    def __repr__(self) -> str:
        return f"COCO(annotation_file) # __author__='{_AUTHOR}'; __version__='{_VERSION}';"

    def dump(self, output_file: str | os.PathLike[str]) -> None:
        """Writes ``to_dict()`` to a JSON file."""
        with open(os.fspath(output_file), "w", encoding="utf-8") as f:
            json.dump(self.to_dict(), f)

    def loadAnns(self, ids: Any = ()) -> list[Any]:
        """The annotations of the given ids (an int or integers; else TypeError, as faster-coco-eval says)."""
        return super().loadAnns(_integer_ids(ids))

    def loadCats(self, ids: Any = ()) -> list[Any]:
        """The categories of the given ids (an int or integers)."""
        return super().loadCats(_integer_ids(ids))

    def loadImgs(self, ids: Any = ()) -> list[Any]:
        """The images of the given ids (an int or integers)."""
        return super().loadImgs(_integer_ids(ids))

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        """The (name, value) pairs of ``to_dict()``, so ``dict(coco)`` is that dataset."""
        return iter(self.to_dict().items())

    @property
    def img_ann_map(self) -> defaultdict[Any, Any]:
        """``imgToAnns``."""
        return self.imgToAnns

    @property
    def cat_img_map(self) -> defaultdict[Any, Any]:
        """``catToImgs``."""
        return self.catToImgs

    def get_ann_ids(
        self, img_ids: Any = None, cat_ids: Any = None, area_rng: Any = None, iscrowd: bool | None = None
    ) -> list[Any]:
        """``getAnnIds``."""
        return self.getAnnIds(img_ids or [], cat_ids or [], area_rng or [], iscrowd)

    def get_cat_ids(self, cat_names: Any = None, sup_names: Any = None, cat_ids: Any = None) -> list[Any]:
        """``getCatIds``."""
        return self.getCatIds(cat_names or [], sup_names or [], cat_ids or [])

    def get_img_ids(self, img_ids: Any = None, cat_ids: Any = None) -> list[Any]:
        """``getImgIds``."""
        return self.getImgIds(img_ids or [], cat_ids or [])

    def load_anns(self, ids: Any = None) -> list[Any]:
        """``loadAnns``."""
        return self.loadAnns([] if ids is None else ids)

    def load_cats(self, ids: Any = None) -> list[Any]:
        """``loadCats``."""
        return self.loadCats([] if ids is None else ids)

    def load_imgs(self, ids: Any = None) -> list[Any]:
        """``loadImgs``."""
        return self.loadImgs([] if ids is None else ids)


class COCOeval_faster(_Printing, COCOeval):
    """COCO evaluation with faster-coco-eval's constructor, ``run()`` and
    ``stats_as_dict``.

    Parameters
    ----------
    cocoGt, cocoDt : COCO or None
        Ground truth and results.
    iouType : str
        "segm" (default), "bbox", "keypoints", "keypoints_crowd" or "boundary".
    ranges : dict or None
        Area ranges by label ({"small": [0, 32**2], ...}) after "all", for
        boxes and masks; the summary has a line for each.
    print_function : callable
        Receives each progress and summary line (default: this module's
        logger's ``info``, silent unless logging is configured).
    extra_calc : bool
        Adds "mIoU" and "mAUC_50" to ``stats_as_dict`` and marks the
        annotations at each ``accumulate()`` (see ``compute_mIoU``,
        ``compute_mAUC``, ``math_matches``).
    kpt_oks_sigmas : sequence of float or None
        Keypoint sigmas (default the COCO person sigmas).
    use_area : bool
        Keypoint similarity scaled by the ground truth's area (True) or by
        0.53 times its box area (False).
    lvis_style : bool
        LVIS's rules and summary (APr, APc, APf) for boxes and masks;
        ignored for keypoints, as there.
    separate_eval : bool
        ``evaluate()`` leaves ``eval`` empty for ``accumulate()`` (else it
        accumulates too, as faster-coco-eval's does).
    boundary_dilation_ratio : float
        Boundary width as a fraction of the image diagonal ("boundary").
    boundary_cpu_count, rle_iou_max_workers : int
        Accepted (the latter a positive integer, else ValueError) and
        ignored: the engine chooses its own threads.

    Examples
    --------
    >>> E = COCOeval_faster(gt, dt, "bbox"); E.run()  # doctest: +SKIP
    >>> sorted(E.stats_as_dict)[:2]                   # doctest: +SKIP
    ['AP_50', 'AP_75']
    """

    _default_print = _LOG.info
    _computes_one_sided_pairs = False

    def __init__(
        self,
        cocoGt: Any = None,
        cocoDt: Any = None,
        iouType: str = "segm",
        ranges: dict[str, Any] | None = None,
        print_function: Callable[..., Any] = _LOG.info,
        extra_calc: bool = False,
        kpt_oks_sigmas: list[float] | None = None,
        use_area: bool | None = True,
        lvis_style: bool = False,
        separate_eval: bool = False,
        boundary_dilation_ratio: float = 0.02,
        boundary_cpu_count: int = 2,
        rle_iou_max_workers: int = 8,
    ) -> None:
        if not isinstance(rle_iou_max_workers, int) or isinstance(rle_iou_max_workers, bool):
            raise ValueError(f"rle_iou_max_workers must be an integer, got {rle_iou_max_workers!r}")
        if rle_iou_max_workers < 1:
            raise ValueError(f"rle_iou_max_workers must be positive, got {rle_iou_max_workers}")
        if lvis_style and iouType in KEYPOINT_TYPES:
            lvis_style = False  # as faster-coco-eval: LVIS rules are for boxes and masks
        with lines_to(print_function):
            try:
                super().__init__(cocoGt, cocoDt, "keypoints" if iouType == "keypoints_crowd" else iouType)
            except _cocoeval.EvaluationError:
                raise TypeError("iouType not supported") from None  # faster-coco-eval's type for it
        self.params.iouType = iouType
        if type(self.params) is Params:
            self.params.__class__ = FasterParams  # its snake_case names and fields
            cast(FasterParams, self.params).add_faster_fields()
        self._print_function = print_function
        for coco in (cocoGt, cocoDt):
            if isinstance(coco, _Printing):
                coco.print_function = print_function
        if ranges is not None and iouType not in KEYPOINT_TYPES:
            self.params.areaRng = [[0, 1e5**2]] + [list(r) for r in ranges.values()]
            self.params.areaRngLbl = ["all", *ranges]
        self.use_area = bool(use_area)
        self.separate_eval = separate_eval
        self.boundary_dilation_ratio = float(boundary_dilation_ratio)
        self.boundary_cpu_count = boundary_cpu_count
        self.rle_iou_max_workers = rle_iou_max_workers
        self.lvis_style = lvis_style
        self.extra_calc = extra_calc
        self.matched = False  # set by an extra_calc accumulate(), once the annotations are marked
        if iouType == "keypoints" and cocoGt is not None:
            # faster-coco-eval evaluates keypoints over the categories that have annotations.
            by_cat = cocoGt.catToImgs
            self.params.catIds = [c for c in self.params.catIds if by_cat.get(c)]
        if kpt_oks_sigmas is not None:
            self.params.kpt_oks_sigmas = np.array(kpt_oks_sigmas, dtype=float)

    def __repr__(self) -> str:
        return f"COCOeval_faster() # __author__='{_AUTHOR}'; __version__='{_VERSION}';"

    __str__ = __repr__

    def __reduce_ex__(self, protocol: SupportsIndex) -> str | tuple[Any, ...]:
        """Pickled as ``COCOeval`` is, with this class's options (not
        ``print_function``, which an unpickled evaluator has by default)."""
        out = super().__reduce_ex__(protocol)
        if isinstance(out, tuple) and out[0] is _cocoeval._restore:
            names = ("use_area", "separate_eval", "boundary_dilation_ratio", "boundary_cpu_count",
                     "rle_iou_max_workers", "lvis_style", "extra_calc", "matched", "_all_stats")  # fmt: skip
            return (_restore, (out[1], {n: getattr(self, n) for n in names if hasattr(self, n)}))
        return out

    def _engine_options(self) -> dict[str, Any]:
        return {
            "use_area": getattr(self, "use_area", True),
            "boundary_dilation": getattr(self, "boundary_dilation_ratio", 0.02),
        }

    def _federated_input(self, gt_side: Any) -> tuple[Any, _engine.Federated | None]:
        # LVIS rules: an image's detections count in its verified categories
        # only (present or listed in "neg_category_ids"), and unmatched ones
        # of its "not_exhaustive_category_ids" are ignored; no per-image cap
        # beyond maxDets (faster-coco-eval's loadRes keeps every result).
        if not getattr(self, "lvis_style", False):
            return gt_side, None
        if not isinstance(gt_side, list):
            gt_side = list(self.cocoGt.dataset.get("annotations") or [])
        uncapped = 2**31 - 1
        return gt_side, _engine.Federated.of_dataset(self.cocoGt.dataset, gt_side, uncapped)

    def evaluate(self) -> None:
        """Evaluates every image and category with the current ``params``;
        unless ``separate_eval``, also accumulates into ``eval`` (without
        marking annotations), as faster-coco-eval's evaluate does."""
        tic = time.time()
        token = _EVALUATING.set(True)
        try:
            with lines_to(_dropped):
                super().evaluate()
        finally:
            _EVALUATING.reset(token)
        say = self.print_function
        say(f"Evaluate annotation type *{self.params.iouType}*")
        say("COCOeval_opt.evaluate() finished...")
        say(f"DONE (t={time.time() - tic:0.2f}s).")
        self.matched = False
        if not getattr(self, "separate_eval", False):
            with lines_to(_dropped):
                self._accumulate_into_eval(None)

    def accumulate(self, p: Params | None = None) -> None:
        """Precision, recall and scores of the evaluated images into ``eval``,
        with "matched" (see ``compute_mIoU``); with ``extra_calc`` the
        annotations are then marked (see ``math_matches``)."""
        tic = time.time()
        self.print_function("Accumulating evaluation results...")
        with lines_to(_dropped):
            self._accumulate_into_eval(p)
        if getattr(self, "extra_calc", False):
            self.math_matches()
        self.print_function("COCOeval_opt.accumulate() finished...")
        self.print_function(f"DONE (t={time.time() - tic:0.2f}s).")

    def _accumulate_into_eval(self, p: Params | None) -> None:
        super().accumulate(p)
        self.eval = _extra_calc.with_pairs(self.eval, _extra_calc.pairs_source(self))

    def math_matches(self) -> None:
        """Marks the annotations from ``eval["matched"]`` ("tp"/"fp" with
        "gt_id" and "iou" on detections, "dt_id"/"fn" and "ignore" on ground
        truths; see ``_extra_calc.mark_annotations``), clearing the last marks.

        Examples
        --------
        >>> E = COCOeval_faster(gt, dt, "bbox", extra_calc=True); E.run()  # doctest: +SKIP
        >>> E.matched, sum(a.get("tp", False) for a in E.cocoDt.anns.values())  # doctest: +SKIP
        (True, 649)
        """
        _extra_calc.mark_annotations(self, self._matched())
        self.matched = True

    def compute_mIoU(self) -> float:
        """The mean IoU (OKS for keypoints) of the matched pairs in
        ``eval["matched"]``: each detection and ground truth matched at any
        IoU threshold in any area range counts once; 0.0 for none.

        Examples
        --------
        >>> E = COCOeval_faster(gt, dt, "bbox", extra_calc=True); E.run()  # doctest: +SKIP
        >>> round(E.compute_mIoU(), 4)                                     # doctest: +SKIP
        0.872
        """
        return _extra_calc.mean_iou(self._matched())

    def _matched(self) -> dict[str, float]:
        if not isinstance(self.eval, dict) or "matched" not in self.eval:
            raise RuntimeError("Matching data is unavailable; run the evaluation and accumulation pipeline first")
        return cast(dict[str, float], self.eval["matched"])

    def compute_mAUC(self) -> float:
        """The mean, over categories and area ranges with ground truth, of
        the area (``calc_auc`` over ``params.recThrs``) of the precision at
        the first IoU threshold, every maxDets read in memory order as one
        curve (as faster-coco-eval computes its "mAUC_50").

        Examples
        --------
        >>> E = COCOeval_faster(gt, dt, "bbox", extra_calc=True); E.run()  # doctest: +SKIP
        >>> round(E.compute_mAUC(), 4)                                     # doctest: +SKIP
        0.8873
        """
        if not isinstance(self.eval, dict) or "precision" not in self.eval or "counts" not in self.eval:
            raise RuntimeError("Accumulation results are unavailable; call evaluate() and accumulate() first")
        return _extra_calc.mean_auc(self.eval["precision"], self.params.recThrs)

    def summarize(self) -> None:
        """Sends the summary lines to ``print_function`` and sets ``stats``
        and ``stats_as_dict``; after ``evaluate()`` alone it accumulates
        first, silently, as faster-coco-eval (whose evaluate accumulates) can."""
        _check_summary_type(self.params.iouType)
        if not self.eval and self._paramsEval:
            with lines_to(_dropped):
                super().accumulate()
        if not self.eval:
            super().summarize()  # its error
        axes = _engine.Axes.of_reference(self.params)
        if getattr(self, "lvis_style", False):
            self._summarize_lvis(axes)
        else:
            self._summarize_coco(axes)
        if getattr(self, "extra_calc", False):
            self._all_stats.update(mIoU=self.compute_mIoU(), mAUC_50=self.compute_mAUC())

    def _summarize_coco(self, axes: _engine.Axes) -> None:
        if axes.iou_type == "keypoints_crowd":
            in_stats = _engine.summary_lines("pycocotools", axes)
        else:
            in_stats = _engine.summary_lines("faster", axes)
        after = _engine.extra_lines(axes)
        split = self._crowd_split() if any(line.crowd for line in in_stats) else None
        with lines_to(self.print_function):
            values = [self._print_line(line, axes, split) for line in in_stats + after]
        self.stats = np.array(values[: len(in_stats)])
        self._all_stats = {line.key: float(v) for line, v in zip(in_stats + after, values, strict=True)}

    def _print_line(
        self, line: _engine.Line, axes: _engine.Axes, split: np.ndarray | None = None, group: str | None = None
    ) -> float:
        if line.crowd:
            # As CrowdPose's evaluation: the mean of every cell of the type's
            # images (-1 for none included), to 4 places.
            m = [k for k, cap in enumerate(axes.max_dets) if cap == line.max_det]
            cells = cast(np.ndarray, split)[:, :, :, _engine.CROWD_TYPES.index(line.area), m]
            mean = round(float(np.mean(cells)), 4) if cells.size else -1.0
        else:
            groups = self._frequency_groups() if line.group else None
            mean = _engine.line_value(line, self.eval["precision"], self.eval["recall"], axes, groups)
        label = line.label(axes.iou_thrs)
        if group is not None:
            label = f"{label[:-2]} catIds={group:>3}]"
        emit(f" {label} = {mean:0.3f}")
        return mean

    def _crowd_split(self) -> np.ndarray:
        """The precision of the evaluated images split by crowd type."""
        p = self._paramsEval if isinstance(self._paramsEval, Params) else self.params
        core = _state.core_params(p)
        core.use_area = bool(getattr(self, "use_area", True))
        crowd_index = _engine.crowd_indexes(self.cocoGt.imgs.values(), core.img_ids)
        gt_side, dt_side = _cocoeval._restricted_sides(self.cocoGt, self.cocoDt, p)
        precision: np.ndarray = _engine.crowd_evaluator(gt_side, dt_side, core, crowd_index).run()["precision"]
        return precision

    def _frequency_groups(self) -> dict[str, list[int]]:
        return _engine.frequency_groups(self.cocoGt.dataset.get("categories") or [], self.params.catIds)

    def _summarize_lvis(self, axes: _engine.Axes) -> None:
        """faster-coco-eval's LVIS summary: its lines with the AP of each
        frequency group after the AP lines; in ``stats`` the recall of the
        first three caps always ("AR_all", "AR_second", "AR_third", 0 for a
        cap not given), then "AR_<cap>" for more; APr, APc and APf last."""
        caps, last = list(axes.max_dets), axes.max_dets[-1]
        lines = _engine.summary_lines("faster", axes)
        ap = [line for line in lines if line.ap]
        ar_names = ["AR_all", "AR_second", "AR_third"] + [f"AR_{m}" for m in caps[3:]]
        by_cap = [_engine.Line(n, False, None, "all", m) for n, m in zip(ar_names, caps, strict=False)]
        ar_areas = [_engine.Line(f"AR_{a}", False, None, a, last) for a in axes.area_labels[1:]]
        freq = [_engine.Line(f"AP{g}", True, None, "all", last, g) for g in "rcf"]
        with lines_to(self.print_function):
            values = {line.key: self._print_line(line, axes, group="all") for line in ap}
            values.update({line.key: self._print_line(line, axes, group=line.group) for line in freq})
            for line in by_cap + ar_areas + _engine.extra_lines(axes):
                values[line.key] = self._print_line(line, axes, group="all")
        in_stats = [line.key for line in ap] + ar_names[: max(3, len(caps))] + [line.key for line in ar_areas]
        named = {key: float(values.get(key, 0.0)) for key in in_stats}
        self.stats = np.array(list(named.values()))
        for key in ("AR_50", "AR_75", "APr", "APc", "APf"):
            named[key] = float(values[key])
        self._all_stats = named

    def run(self) -> None:
        """``evaluate()``, ``accumulate()`` and ``summarize()``."""
        self.evaluate()
        self.accumulate()
        self.summarize()

    @property
    def stats_as_dict(self) -> dict[str, float]:
        """The summary statistics by name, as faster-coco-eval gives them:
        "AP_all", "AP_50", "AP_75", "AP_<area>", the recall of each maxDets
        ("AR_all", "AR_second", "AR_third" for the default [1, 10, 100],
        else "AR_<maxDets>"), "AR_<area>", then "AR_50" and "AR_75" (recall
        at IoU 0.50 and 0.75; a later name overwrites an earlier equal one,
        as there). Set by ``summarize()``; before it, AttributeError."""
        _check_summary_type(self.params.iouType)
        named = getattr(self, "_all_stats", None)
        if named is None or not len(self.stats):  # not summarized, or merged since
            raise AttributeError("stats_as_dict is set by summarize() (or run())")
        return dict(named)

    @property
    def all_stats(self) -> np.ndarray:
        """``stats_as_dict``'s values, in its order."""
        return np.array(list(self.stats_as_dict.values()))

    @all_stats.setter
    def all_stats(self, values: Any) -> None:
        # New values for stats_as_dict's names, in order (IndexError when
        # too few: faster-coco-eval raises it on the next read, this at once).
        values = np.asarray(values, dtype=float)
        self._all_stats = {name: float(values[i]) for i, name in enumerate(getattr(self, "_all_stats", None) or ())}

    @property
    def extended_metrics(self) -> dict[str, Any]:
        """Per-class and macro metrics at one confidence threshold, as
        faster-coco-eval reports them: "class_map" (per category with ground
        truth, then "all": "map@50:95", "map@50", "precision", "recall"),
        "map" (AP at IoU 0.50) and the macro "precision" and "recall".

        The threshold is the detection score (of those evaluated, area
        "all", the last maxDets) at which the mean of the categories' F1 is
        highest (the lowest such score on a tie). At it, a category's
        precision and recall count the detections scoring at least that
        which match a ground truth (a crowd one included) at any of the IoU
        thresholds, against its non-ignored ground truths. Needs
        ``accumulate()`` and ``summarize()``; ValueError when 0.50 is not
        among ``params.iouThrs``.

        Examples
        --------
        >>> E.run(); E.extended_metrics["class_map"][-1]["class"]  # doctest: +SKIP
        'all'
        """
        p = self.params
        if not np.any(np.isclose(np.asarray(p.iouThrs, dtype=float), 0.5)):
            raise ValueError(
                "extended_metrics requires IoU threshold 0.50, but it is not present in "
                f"params.iouThrs={np.asarray(p.iouThrs).tolist()}."
            )
        precision = self.eval["precision"]
        stats = self.stats_as_dict
        t50 = int(np.argmin(np.abs(np.asarray(p.iouThrs, dtype=float) - 0.5)))
        cats = list(p.catIds) if p.useCats else [-1]
        found = _matched_by_category(self.evalImgs, self.cocoGt.anns, len(cats), len(p.areaRng), len(p.imgIds))
        rows, curves = [], []
        for k, (scores, matched, n_gt) in enumerate(found):
            cells = precision[:, :, k, 0, -1]
            if n_gt == 0 or not np.any(cells > -1):
                continue  # no ground truth: no value to report
            at50 = cells[t50]
            name = self.cocoGt.cats[cats[k]]["name"] if p.useCats else "all"
            rows.append({"class": name, "map@50:95": float(np.mean(cells[cells > -1])),
                         "map@50": float(np.mean(at50[at50 > -1])) if np.any(at50 > -1) else 0.0})  # fmt: skip
            curves.append((scores, matched, n_gt))
        chosen = _best_mean_f1(curves)
        for row, (prec, rec) in zip(rows, chosen, strict=True):
            row["precision"], row["recall"] = prec, rec
        macro_p = float(np.mean([r["precision"] for r in rows])) if rows else 0.0
        macro_r = float(np.mean([r["recall"] for r in rows])) if rows else 0.0
        class_map = rows if p.useCats else []
        class_map.append({"class": "all", "map@50:95": stats["AP_all"], "map@50": stats["AP_50"],
                          "precision": macro_p, "recall": macro_r})  # fmt: skip
        return {"class_map": class_map, "map": stats["AP_50"], "precision": macro_p, "recall": macro_r}

    @staticmethod
    def calc_auc(recall_list: Any, precision_list: Any, method: str = "c++") -> float:
        """Area under a precision-recall curve: each recall step times the
        best precision at or after it, added in order in extended precision
        and rounded to 15 decimals, as faster-coco-eval computes it (so its
        values come out bit for bit; ``method`` is accepted for its signature).

        Examples
        --------
        >>> COCOeval_faster.calc_auc([0.1, 0.3, 0.7], [1.0, 0.9, 0.4])
        0.34
        """
        return _extra_calc.auc(recall_list, precision_list)


def _check_summary_type(iou_type: str) -> None:
    """ValueError naming iouType for a type the summary has no layout for
    (one set on ``params`` after construction)."""
    if iou_type not in _cocoeval._SUPPORTED:
        raise ValueError(f"iouType must be one of {', '.join(_cocoeval._SUPPORTED)}; got {iou_type!r}")


def _matched_by_category(eval_imgs: Any, anns: Any, n_cats: int, n_areas: int, n_imgs: int) -> list[Any]:
    """Per category: the scores of its evaluated detections (area "all"),
    whether each matched at any IoU threshold, and the count of its ground
    truths that are not crowd regions (``anns`` by id)."""
    out = []
    for k in range(n_cats):
        start = k * n_areas * n_imgs  # area "all" comes first
        records = [e for e in eval_imgs[start : start + n_imgs] if e is not None]
        scores = [np.asarray(e["dtScores"], dtype=float) for e in records]
        matched = [np.any(np.asarray(e["dtMatches"]) > 0, axis=0) for e in records if len(e["dtScores"])]
        # Every ground truth but crowd regions (keypoint ones without keypoints included).
        n_gt = sum(1 for e in records for g in e["gtIds"] if not anns[g].get("iscrowd", 0))
        out.append((
            np.concatenate(scores) if scores else np.zeros(0),
            np.concatenate(matched) if matched else np.zeros(0, dtype=bool),
            n_gt,
        ))  # fmt: skip
    return out


def _best_mean_f1(curves: list[Any]) -> list[tuple[float, float]]:
    """Each category's (precision, recall) counting the detections scoring
    at least the threshold, among the detections' scores, whose mean F1 is
    highest (the lowest such threshold on a tie)."""
    if not curves:
        return []
    thresholds = np.unique(np.concatenate([c[0] for c in curves]))
    if thresholds.size == 0:
        return [(0.0, 0.0)] * len(curves)
    prec = np.zeros((len(curves), thresholds.size))
    rec = np.zeros_like(prec)
    for k, (scores, matched, n_gt) in enumerate(curves):
        order = np.argsort(scores)
        s, hit = scores[order], matched[order]
        # Counts of detections (and of matched ones) scoring at least each threshold.
        at = np.searchsorted(s, thresholds, side="left")
        kept = s.size - at
        hits = np.concatenate([np.cumsum(hit[::-1])[::-1], [0]])[at]
        np.divide(hits, kept, out=prec[k], where=kept > 0)
        rec[k] = hits / n_gt
    total = prec + rec
    f1 = np.divide(2 * prec * rec, total, out=np.zeros_like(total), where=total > 0)
    best = int(np.argmax(f1.mean(axis=0)))
    return [(float(prec[k, best]), float(rec[k, best])) for k in range(len(curves))]


def _restore(args: tuple[Any, ...], options: dict[str, Any]) -> COCOeval_faster:
    ev = _cocoeval._restore(*args)
    ev.__dict__.update(options)
    return cast(COCOeval_faster, ev)


def init_as_pycocotools() -> None:
    """Makes later ``import pycocotools`` (``.coco``, ``.cocoeval``, ``.mask``)
    resolve to this API, as faster-coco-eval's function of that name does:
    ``pycocotools.cocoeval.COCOeval`` is ``COCOeval_faster``.

    Examples
    --------
    >>> init_as_pycocotools()                          # doctest: +SKIP
    >>> from pycocotools.cocoeval import COCOeval      # doctest: +SKIP
    >>> COCOeval.__name__                              # doctest: +SKIP
    'COCOeval_faster'
    """
    from . import faster_coco_eval as pkg

    core = pkg.core
    sys.modules.update(
        {
            "pycocotools": pkg,
            "pycocotools.coco": core.coco,
            "pycocotools.cocoeval": core.faster_eval_api,
            "pycocotools.mask": core.mask,
        }
    )
