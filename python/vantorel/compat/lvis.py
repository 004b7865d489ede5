"""The lvis package's API (``LVIS``, ``LVISResults``, ``LVISEval``, ``Params``) on the vantorel engine.

Code written against lvis-api switches by changing its import, or by calling
``vantorel.compat.install_as_lvis()`` before it imports ``lvis``. Values,
types, printed lines and log messages (loggers ``lvis.lvis``,
``lvis.results``, ``lvis.eval``) are those of lvis 0.5.3. The matching and
accumulation run in the native engine; the per-image Python objects the
reference builds eagerly (``eval_imgs``, ``ious``, ``eval['dt_pointers']``)
are built only when read.

Where the reference fails outright we do the sound thing instead:

- empty results (an empty list, or ``max_dets=0``) give an empty
  ``LVISResults`` instead of an IndexError;
- segmentation results given as polygons are measured on their image's size
  (the reference only accepts RLEs there and raises TypeError);
- results with neither box nor segmentation get ids instead of a KeyError;
- ``params.use_cats = 0`` evaluates category-agnostically (the reference
  raises IndexError in ``summarize``); the frequency-group lines are then -1;
- ``accumulate()`` before ``evaluate()`` logs the reference's warning, then
  raises RuntimeError instead of an unrelated TypeError.

We also never change the caller's objects: the reference writes ``area``,
``id`` and ``segmentation`` into the result dicts it is given, and
``ignore`` into the ground truth's annotations. ``LVIS`` also accepts an
already-loaded dataset dict. As in the reference, ``params.max_dets`` only
names the cap in the summary (``AR@300``); the cap itself is applied by
``LVISResults`` (its ``max_dets``). Also as in the reference, annotations
whose area is not strictly between 0 and infinity (empty masks, degenerate
boxes) take no part in the evaluation on either side: such a detection is
not counted as a false positive, and such a ground truth does not make its
category verified for the image. ``vantorel.evaluate(..., lvis=True)`` keeps
them; this module follows the reference, so that published LVIS numbers
reproduce.

Example
-------
>>> from vantorel.compat.lvis import LVIS, LVISEval, LVISResults  # doctest: +SKIP
>>> gt = LVIS("lvis_v1_val.json")                                  # doctest: +SKIP
>>> ev = LVISEval(gt, LVISResults(gt, "dets.json"), "bbox")       # doctest: +SKIP
>>> ev.run(); ev.print_results()                                   # doctest: +SKIP
"""

from __future__ import annotations

import datetime
import logging
import os
import pickle
import sys
import types
import urllib.request
from collections import OrderedDict, defaultdict
from collections.abc import Callable
from typing import Any

import numpy as np

from .. import _zerlin
from .._lazy import build_lock
from ..loading import gc_paused, naming_file, read_json
from ..params import Params as _EngineParams
from ..results import summarize as _summary

__all__ = ["LVIS", "LVISEval", "LVISResults", "LVISVis", "Params"]  # noqa: F822 (LVISVis via __getattr__)

_INF = float("inf")
_PathOrDict = str | os.PathLike[str] | dict[Any, Any]


def _load_json(path: str | os.PathLike[str]) -> Any:
    with naming_file("JSON", path):
        return read_json(path)


def _json_copy(data: Any) -> Any:
    """A deep copy of JSON-like data; pickling is several times faster than
    copy.deepcopy on such data and keeps the same sharing."""
    with gc_paused():
        return pickle.loads(pickle.dumps(data, protocol=pickle.HIGHEST_PROTOCOL))


class LVIS:
    """LVIS ground truth with the reference's lookup indexes.

    Parameters
    ----------
    annotation_path : str, os.PathLike or dict
        The annotation file, or its already-loaded dict (used as is).

    Examples
    --------
    >>> gt = LVIS("data/lvis_val_100.json")  # doctest: +SKIP
    >>> gt.get_ann_ids(img_ids=[565853], cat_ids=[852])  # doctest: +SKIP
    [1, 2, 3]
    """

    def __init__(self, annotation_path: _PathOrDict) -> None:
        self.logger = logging.getLogger("lvis.lvis")
        self.logger.info("Loading annotations.")
        if isinstance(annotation_path, dict):
            self.dataset = annotation_path
        else:
            self.dataset = self._load_json(annotation_path)
        if not isinstance(self.dataset, dict):
            raise AssertionError(f"Annotation file format {type(self.dataset)} not supported.")  # noqa: TRY004
        self._create_index()

    def _load_json(self, path: str | os.PathLike[str]) -> Any:
        return _load_json(path)

    def _create_index(self) -> None:
        self.logger.info("Creating index.")
        with gc_paused():
            by_id, by_image, images_by_cat = _zerlin.index_annotations(self.dataset["annotations"], True)
        self.img_ann_map: defaultdict[Any, Any] = defaultdict(list, by_image)
        self.cat_img_map: defaultdict[Any, Any] = defaultdict(list, images_by_cat)
        self.anns: dict[Any, Any] = by_id
        self.cats: dict[Any, Any] = {c["id"]: c for c in self.dataset["categories"]}
        self.imgs: dict[Any, Any] = {img["id"]: img for img in self.dataset["images"]}
        self.logger.info("Index created.")

    def get_ann_ids(self, img_ids: Any = None, cat_ids: Any = None, area_rng: Any = None) -> list[Any]:
        """Ids of the annotations of the given images (all when None) whose
        category is in ``cat_ids`` and whose area lies strictly inside
        ``area_rng``. As in the reference, an area range needs ``cat_ids``."""
        if img_ids is not None:
            anns = [a for img_id in img_ids for a in self.img_ann_map[img_id]]
        else:
            anns = self.dataset["annotations"]
        if cat_ids is None and area_rng is None:
            return [a["id"] for a in anns]
        cats = set(cat_ids)  # a TypeError for None, as in the reference
        lo, hi = (0, float("inf")) if area_rng is None else (area_rng[0], area_rng[1])
        return [a["id"] for a in anns if a["category_id"] in cats and lo < a["area"] < hi]

    def get_cat_ids(self) -> list[Any]:
        """All category ids, in file order."""
        return list(self.cats.keys())

    def get_img_ids(self) -> list[Any]:
        """All image ids, in file order."""
        return list(self.imgs.keys())

    def _load_helper(self, _dict: dict[Any, Any], ids: Any) -> list[Any]:
        if ids is None:
            return list(_dict.values())
        return [_dict[i] for i in ids]

    def load_anns(self, ids: Any = None) -> list[Any]:
        """The annotations with the given ids (all when None)."""
        return self._load_helper(self.anns, ids)

    def load_cats(self, ids: Any) -> list[Any]:
        """The categories with the given ids (all when None)."""
        return self._load_helper(self.cats, ids)

    def load_imgs(self, ids: Any) -> list[Any]:
        """The images with the given ids (all when None)."""
        return self._load_helper(self.imgs, ids)

    def download(self, save_dir: str | os.PathLike[str], img_ids: Any = None) -> None:
        """Downloads the images (all when ``img_ids`` is None) from their
        ``coco_url`` into ``save_dir``, skipping files already there."""
        imgs = self.load_imgs(img_ids)
        os.makedirs(save_dir, exist_ok=True)
        for img in imgs:
            file_name = os.path.join(save_dir, img["coco_url"].split("/")[-1])
            if not os.path.exists(file_name):
                urllib.request.urlretrieve(img["coco_url"], file_name)

    def ann_to_rle(self, ann: dict[Any, Any]) -> dict[Any, Any]:
        """The annotation's segmentation (polygons, uncompressed or compressed RLE) as a compressed RLE."""
        img = self.imgs[ann["image_id"]]
        rle: dict[Any, Any] = _to_rle(ann["segmentation"], img["height"], img["width"])
        return rle

    def ann_to_mask(self, ann: dict[Any, Any]) -> np.ndarray:
        """The annotation's segmentation as a binary (height, width) uint8 mask."""
        mask: np.ndarray = _zerlin.decode([self.ann_to_rle(ann)])[:, :, 0]
        return mask


def _to_rle(segm: Any, h: int, w: int) -> Any:
    if isinstance(segm, list):
        rles = _zerlin.frPyObjects(segm, h, w)
        return _zerlin.merge(rles if isinstance(rles, list) else [rles])
    if isinstance(segm["counts"], list):
        return _zerlin.frPyObjects(segm, h, w)
    return segm


class LVISResults(LVIS):
    """Detections in the layout of an ``LVIS`` dataset, capped per image.

    Each image keeps its ``max_dets`` highest-scoring detections (over all
    categories; ties keep file order); a negative ``max_dets`` keeps all.
    Box results get ``area`` = w * h, a box polygon as ``segmentation``
    (unless they carry one) and ``id`` = position + 1; segmentation results
    get the mask's ``area`` and ``bbox``. Results naming images the ground
    truth lacks are refused with AssertionError, as in the reference. The
    caller's dicts are copied, never changed.

    Examples
    --------
    >>> dt = LVISResults(LVIS("data/lvis_val_100.json"), "dets.json", max_dets=300)  # doctest: +SKIP
    """

    def __init__(self, lvis_gt: LVIS | str | os.PathLike[str], results: Any, max_dets: int = 300) -> None:
        if isinstance(lvis_gt, LVIS):
            copied = _json_copy({k: v for k, v in lvis_gt.dataset.items() if k != "annotations"})
            self.dataset = {k: copied.get(k) for k in lvis_gt.dataset}  # the file's key order
        elif isinstance(lvis_gt, (str, os.PathLike)):
            self.dataset = self._load_json(lvis_gt)
        else:
            raise TypeError(f"Unsupported type {lvis_gt} of lvis_gt.")
        self.logger = logging.getLogger("lvis.results")
        self.logger.info("Loading and preparing results.")
        if isinstance(results, (str, os.PathLike)):
            result_anns = self._load_json(results)
        else:
            self.logger.warning("Assuming user provided the results in correct format.")
            result_anns = results
        if not isinstance(result_anns, list):
            raise AssertionError("results is not a list.")  # noqa: TRY004  (the reference's error)
        with gc_paused():
            if result_anns is results:
                result_anns = [dict(a) for a in results]
            if max_dets >= 0:
                result_anns = self.limit_dets_per_image(result_anns, max_dets)
            self._complete(result_anns)
        if not {a["image_id"] for a in result_anns} <= {img["id"] for img in self.dataset["images"]}:
            raise AssertionError("Results do not correspond to current LVIS set.")
        self.dataset["annotations"] = result_anns
        self._create_index()

    def _complete(self, anns: list[Any]) -> None:
        if not anns:
            return
        if "bbox" in anns[0]:
            for i, ann in enumerate(anns):
                x1, y1, w, h = ann["bbox"]
                if "segmentation" not in ann:
                    x2, y2 = x1 + w, y1 + h
                    ann["segmentation"] = [[x1, y1, x1, y2, x2, y2, x2, y1]]
                ann["area"] = w * h
                ann["id"] = i + 1
        elif "segmentation" in anns[0]:
            sizes = {img["id"]: (img["height"], img["width"]) for img in self.dataset.get("images", [])}
            rles = [_result_rle(a, sizes) for a in anns]
            areas, boxes = _zerlin.area(rles), _zerlin.toBbox(rles)
            for i, ann in enumerate(anns):
                ann["area"] = areas[i]
                ann["bbox"] = boxes[i].copy()
                ann["id"] = i + 1
        else:
            for i, ann in enumerate(anns):
                ann["id"] = i + 1

    def limit_dets_per_image(self, anns: list[Any], max_dets: int) -> list[Any]:
        """The detections grouped by image (in order of first appearance),
        each image's cut to its ``max_dets`` best by score when it has more
        (ties keep input order); images within the cap keep input order."""
        n = len(anns)
        if n == 0:
            return []
        first_seen: dict[Any, int] = {}  # any hashable image id, in order of first appearance
        group = np.array([first_seen.setdefault(a["image_id"], len(first_seen)) for a in anns], dtype=np.int64)
        sizes = np.bincount(group)
        scores = np.array([a["score"] for a in anns], dtype=np.float64)
        key = np.where(sizes[group] > max_dets, -scores, 0.0)
        order = np.lexsort((np.arange(n), key, group))
        starts = np.concatenate(([0], np.cumsum(sizes)[:-1]))
        within = np.arange(n) - starts[group[order]]
        return [anns[i] for i in order[within < max_dets].tolist()]

    def get_top_results(self, img_id: Any, score_thrs: float) -> list[Any]:
        """The image's detections scoring strictly above ``score_thrs``."""
        return [ann for ann in self.load_anns(self.get_ann_ids(img_ids=[img_id])) if ann["score"] > score_thrs]


def _result_rle(ann: dict[Any, Any], sizes: dict[Any, Any]) -> Any:
    segm = ann["segmentation"]
    if isinstance(segm, dict) and not isinstance(segm.get("counts"), list):
        return segm
    h, w = sizes[ann["image_id"]]
    return _to_rle(segm, h, w)


class Params:
    """The lvis package's evaluation parameters (snake_case fields).

    ``img_ids`` and ``cat_ids`` are filled from the ground truth by
    ``LVISEval``; ``max_dets`` is the per-image cap named in the summary.

    Examples
    --------
    >>> p = Params("bbox")
    >>> p.max_dets, p.area_rng_lbl
    (300, ['all', 'small', 'medium', 'large'])
    """

    def __init__(self, iou_type: str) -> None:
        self.img_ids: list[Any] = []
        self.cat_ids: list[Any] = []
        self.iou_thrs = np.linspace(0.5, 0.95, int(np.round((0.95 - 0.5) / 0.05)) + 1, endpoint=True)
        self.rec_thrs = np.linspace(0.0, 1.00, int(np.round((1.00 - 0.0) / 0.01)) + 1, endpoint=True)
        self.max_dets = 300
        self.area_rng: list[list[Any]] = [[0**2, 1e5**2], [0**2, 32**2], [32**2, 96**2], [96**2, 1e5**2]]
        self.area_rng_lbl = ["all", "small", "medium", "large"]
        self.use_cats = 1
        self.img_count_lbl = ["r", "c", "f"]
        self.iou_type = iou_type


_PENDING = object()


class _EvalDict(dict[str, Any]):
    """``LVISEval.eval``: a plain dict whose 'dt_pointers' entry, one array
    set per category and area range, is made on first read."""

    def __init__(self, items: dict[Any, Any], make: Callable[[], dict[Any, Any]]) -> None:
        super().__init__(items)
        self._make: Callable[[], dict[Any, Any]] | None = make

    def _fill(self) -> None:
        # The maker is dropped only once its entry is in place, so that a
        # reader in another thread never finds the placeholder.
        if self._make is not None:
            with build_lock(self):
                if self._make is not None:
                    if dict.get(self, "dt_pointers") is _PENDING:
                        with gc_paused():
                            dict.__setitem__(self, "dt_pointers", self._make())
                    self._make = None

    def __getitem__(self, key: Any) -> Any:
        if key == "dt_pointers":
            self._fill()
        return dict.__getitem__(self, key)

    def get(self, key: Any, default: Any = None) -> Any:
        return self[key] if key in self else default  # noqa: SIM401  (self.get is this method)

    def items(self) -> Any:
        self._fill()
        return dict.items(self)

    def values(self) -> Any:
        self._fill()
        return dict.values(self)

    def pop(self, key: Any, *default: Any) -> Any:
        self._fill()
        return dict.pop(self, key, *default)

    def popitem(self) -> tuple[Any, ...]:
        self._fill()
        return dict.popitem(self)

    def copy(self) -> dict[Any, Any]:
        return dict(self.items())

    def __repr__(self) -> str:
        self._fill()
        return dict.__repr__(self)

    def __eq__(self, other: object) -> bool:
        self._fill()
        return dict.__eq__(self, other)

    __hash__ = None

    def __reduce_ex__(self, protocol: Any) -> tuple[Any, ...]:
        return (dict, (dict(self.items()),))


class LVISEval:
    """The LVIS federated evaluation, with the reference's attributes and output.

    Parameters
    ----------
    lvis_gt : LVIS, str or os.PathLike
    lvis_dt : LVISResults, str, os.PathLike or list of result dicts
        A path or list becomes ``LVISResults(lvis_gt, lvis_dt)`` (300 per image).
    iou_type : {"segm", "bbox"}

    Examples
    --------
    >>> ev = LVISEval("data/lvis_val_100.json", "dets.json", "bbox")  # doctest: +SKIP
    >>> ev.run()                                                       # doctest: +SKIP
    >>> ev.get_results()["AP"]                                         # doctest: +SKIP
    """

    def __init__(self, lvis_gt: LVIS | str | os.PathLike[str], lvis_dt: Any, iou_type: str = "segm") -> None:
        self.logger = logging.getLogger("lvis.eval")
        if iou_type not in ["bbox", "segm"]:
            raise ValueError(f"iou_type: {iou_type} is not supported.")
        if isinstance(lvis_gt, LVIS):
            self.lvis_gt = lvis_gt
        elif isinstance(lvis_gt, (str, os.PathLike)):
            self.lvis_gt = LVIS(lvis_gt)
        else:
            raise TypeError(f"Unsupported type {lvis_gt} of lvis_gt.")
        if isinstance(lvis_dt, LVISResults):
            self.lvis_dt = lvis_dt
        elif isinstance(lvis_dt, (str, os.PathLike, list)):
            self.lvis_dt = LVISResults(self.lvis_gt, lvis_dt)
        else:
            raise TypeError(f"Unsupported type {lvis_dt} of lvis_dt.")
        self._eval_imgs: Any = defaultdict(list)
        self.eval: dict[Any, Any] = {}
        self._gts: defaultdict[Any, Any] = defaultdict(list)
        self._dts: defaultdict[Any, Any] = defaultdict(list)
        self.params = Params(iou_type=iou_type)
        self.results: OrderedDict[str, Any] = OrderedDict()
        self._ious: Any = {}
        self._run: dict[Any, Any] | None = None
        self._engine: tuple[Any, ...] | None = None
        self._prepared = False
        self.params.img_ids = sorted(self.lvis_gt.get_img_ids())
        self.params.cat_ids = sorted(self.lvis_gt.get_cat_ids())

    # ------------------------------------------------------------ lazily built per-image objects

    @property
    def eval_imgs(self) -> Any:
        """Per (category, area range, image) match records, in the reference's
        layout: a list over category, then area range, then image; None where
        the pair has neither ground truth nor detections."""
        if self._eval_imgs is _PENDING:
            with build_lock(self), gc_paused():
                if self._eval_imgs is _PENDING:
                    self._eval_imgs = self._build_eval_imgs()
        return self._eval_imgs

    @eval_imgs.setter
    def eval_imgs(self, value: Any) -> None:
        self._eval_imgs = value

    @property
    def ious(self) -> Any:
        """IoU matrices (detections by score x ground truths) keyed by (image id, category id)."""
        if self._ious is _PENDING:
            with build_lock(self):
                if self._ious is _PENDING:
                    p = self.params
                    cats = list(dict.fromkeys(p.cat_ids)) if p.use_cats else [-1]
                    self._ious = {
                        (img_id, cat_id): self.compute_iou(img_id, cat_id) for img_id in p.img_ids for cat_id in cats
                    }
        return self._ious

    @ious.setter
    def ious(self, value: Any) -> None:
        self._ious = value

    # ------------------------------------------------------------ the protocol

    def _federated(self) -> tuple[list[Any], list[Any], list[Any], list[Any]]:
        """The ground truths and detections that take part, the
        non-exhaustive (image, category) pairs and the ground truths' ignore
        flags. Detections count only in their image's verified categories
        (present or negative); like the reference, annotations whose area is
        not strictly between 0 and infinity (empty masks, degenerate boxes)
        take no part on either side."""
        gt = self.lvis_gt
        gts = [a for a in gt.dataset["annotations"] if 0 < a["area"] < _INF]
        verified: dict[Any, set[Any]] = {img["id"]: set(img.get("neg_category_ids", [])) for img in gt.dataset["images"]}
        for a in gts:
            verified.setdefault(a["image_id"], set()).add(a["category_id"])
        dets = [
            d
            for d in self.lvis_dt.dataset["annotations"]
            if d["category_id"] in verified.get(d["image_id"], ()) and 0 < d["area"] < _INF
        ]
        non_exhaustive = [
            (img["id"], c) for img in gt.dataset["images"] for c in img.get("not_exhaustive_category_ids", [])
        ]
        gt_ignore = [bool(a.get("ignore", False)) for a in gts]
        return gts, dets, non_exhaustive, gt_ignore

    def _evaluator(
        self, gts: list[Any], dets: list[Any], gt_ignore: list[Any], non_exhaustive: list[Any], img_ids: list[Any], cat_ids: list[Any], area_rng: list[Any]
    ) -> _zerlin.Evaluator:
        p = self.params
        sizes = {img["id"]: (img["height"], img["width"]) for img in self.lvis_gt.dataset["images"]}
        ev = _zerlin.Evaluator(
            gts,
            dets,
            sizes,
            [int(i) for i in img_ids],
            [int(c) for c in cat_ids],
            [float(t) for t in p.iou_thrs],
            [float(r) for r in p.rec_thrs],
            [len(dets) + 1],  # the reference caps nothing here: LVISResults did
            [[float(lo), float(hi)] for lo, hi in area_rng],
            bool(p.use_cats),
            p.iou_type,
            [float(s) for s in _EngineParams().kpt_sigmas],
        )
        ev.configure_lvis(gt_ignore, non_exhaustive)
        return ev

    def evaluate(self) -> None:
        """Runs the matching and accumulation in the engine; ``eval_imgs`` and
        ``ious`` are then built from it when first read."""
        self.logger.info("Running per image evaluation.")
        self.logger.info(f"Evaluate annotation type *{self.params.iou_type}*")
        p = self.params
        p.img_ids = list(np.unique(p.img_ids))
        # Duplicate category ids are evaluated once and repeated per slot, as the reference repeats them.
        engine_cats = list(dict.fromkeys(p.cat_ids)) if p.use_cats else [-1]
        slots = [engine_cats.index(c) for c in p.cat_ids] if p.use_cats else [0]
        gts, dets, non_exhaustive, gt_ignore = self._federated()
        ev = self._evaluator(gts, dets, gt_ignore, non_exhaustive, p.img_ids, engine_cats, p.area_rng)
        self._run = ev.run()
        self._engine = (ev, slots, len(engine_cats))
        self._eval_imgs = _PENDING
        self._ious = _PENDING
        self._gts, self._dts = defaultdict(list), defaultdict(list)
        self._prepared = False

    def _build_eval_imgs(self) -> list[Any]:
        assert self._engine is not None
        ev, slots, n_engine = self._engine
        raw: list[Any] = ev.run(collect_eval_imgs=True)["evalImgs"]
        p = self.params
        n_area, n_img = len(p.area_rng), len(p.img_ids)
        cats = p.cat_ids if p.use_cats else [-1]
        if slots != list(range(n_engine)):
            block = n_area * n_img  # one category slot's entries
            raw = [e for slot in slots for e in raw[slot * block : (slot + 1) * block]]
        # Most entries are None and stay so; only the others are converted.
        found = [i for i, e in enumerate(raw) if e is not None]
        for i in found:
            k, rest = divmod(i, n_area * n_img)
            a, j = divmod(rest, n_img)
            raw[i] = self._entry(raw[i], p.img_ids[j], cats[k], p.area_rng[a])
        return raw

    @staticmethod
    def _entry(e: dict[Any, Any] | None, img_id: Any, cat_id: Any, area_rng: Any) -> dict[Any, Any] | None:
        if e is None:
            return None
        return {
            "image_id": img_id,
            "category_id": cat_id,
            "area_rng": area_rng,
            "dt_ids": e["dtIds"],
            "gt_ids": e["gtIds"],
            "dt_matches": e["dtMatches"],
            "gt_matches": e["gtMatches"],
            "dt_scores": e["dtScores"],
            # An empty flag list is a float array in the reference.
            "gt_ignore": e["gtIgnore"].astype(np.int64) if len(e["gtIgnore"]) else e["gtIgnore"],
            "dt_ignore": e["dtIgnore"].astype(bool),
        }

    def accumulate(self) -> None:
        """Fills ``eval`` with ``params``, ``counts``, ``date``, ``precision``
        (T, R, K, A), ``recall`` (T, K, A) and ``dt_pointers``."""
        self.logger.info("Accumulating evaluation results.")
        if self._run is None or self._engine is None:
            self.logger.warning("Please run evaluate first.")
            raise RuntimeError("Please run evaluate first.")
        p, (_, slots, n_engine) = self.params, self._engine
        precision, recall = self._run["precision"][..., 0], self._run["recall"][..., 0]
        if slots != list(range(n_engine)):
            precision, recall = precision[:, :, slots], recall[:, slots]
        t, r, k, a = precision.shape
        self.eval = _EvalDict(
            {
                "params": p,
                "counts": [t, r, k, a],
                "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
                "precision": precision,
                "recall": recall,
                "dt_pointers": _PENDING,
            },
            self._dt_pointers,
        )

    def _dt_pointers(self) -> dict[Any, Any]:
        """Per category slot and area range: the ids of the detections in
        score order over all images, and their true and false positive flags
        per threshold; empty where no ground truth counts."""
        p, eval_imgs = self.params, self.eval_imgs
        n_cat, n_area, n_img = len(p.cat_ids) if p.use_cats else 1, len(p.area_rng), len(p.img_ids)
        out: dict[Any, Any] = {}
        for k in range(n_cat):
            out[k] = {}
            for a in range(n_area):
                base = (k * n_area + a) * n_img
                found = [e for e in eval_imgs[base : base + n_img] if e is not None]
                out[k][a] = {}
                if not found or not sum(int(np.count_nonzero(e["gt_ignore"] == 0)) for e in found):
                    continue
                order = np.argsort(-np.concatenate([e["dt_scores"] for e in found]), kind="mergesort")
                matched = np.concatenate([e["dt_matches"] for e in found], axis=1)[:, order]
                ignored = np.concatenate([e["dt_ignore"] for e in found], axis=1)[:, order]
                out[k][a] = {
                    "dt_ids": np.concatenate([e["dt_ids"] for e in found])[order],
                    "tps": np.logical_and(matched, np.logical_not(ignored)),
                    "fps": np.logical_and(np.logical_not(matched), np.logical_not(ignored)),
                }
        return out

    def _prepare_freq_group(self) -> list[Any]:
        """Category slots by frequency group (``params.img_count_lbl`` order)."""
        groups: list[Any] = [[] for _ in self.params.img_count_lbl]
        for k, cat_id in enumerate(self.params.cat_ids):
            freq = self.lvis_gt.load_cats([cat_id])[0]["frequency"]
            groups[self.params.img_count_lbl.index(freq)].append(k)
        return groups

    def summarize(self) -> None:
        """Fills ``results`` with AP, AP50, AP75, APs/m/l, APr/c/f and AR@N, ARs/m/l@N."""
        if not self.eval:
            raise RuntimeError("Please run accumulate() first.")
        p = self.params
        ep = _EngineParams(
            iou_type=p.iou_type,
            iou_thrs=np.asarray(p.iou_thrs),
            rec_thrs=np.asarray(p.rec_thrs),
            max_dets=[p.max_dets],
            area_rng=[[float(lo), float(hi)] for lo, hi in p.area_rng],
            area_labels=list(p.area_rng_lbl),
            use_cats=bool(p.use_cats),
        )
        groups = dict(zip(p.img_count_lbl, self._prepare_freq_group())) if p.use_cats else {}
        arrays = {"precision": self.eval["precision"][..., None], "recall": self.eval["recall"][..., None]}
        stats, names = _summary(arrays, ep, True, groups)
        # The reference reports a line with nothing to average as the int -1.
        self.results = OrderedDict((n, -1 if v == -1 else v) for n, v in zip(names, stats))

    def run(self) -> None:
        """``evaluate()``, ``accumulate()`` and ``summarize()``."""
        self.evaluate()
        self.accumulate()
        self.summarize()

    def print_results(self) -> None:
        """Prints the summary lines of ``results`` in the reference's layout."""
        template = " {:<18} {} @[ IoU={:<9} | area={:>6s} | maxDets={:>3d} catIds={:>3s}] = {:0.3f}"
        for key, value in self.results.items():
            max_dets = self.params.max_dets
            title, kind = ("Average Precision", "(AP)") if "AP" in key else ("Average Recall", "(AR)")
            if len(key) > 2 and key[2].isdigit():
                iou = f"{float(key[2:]) / 100:0.2f}"
            else:
                iou = f"{self.params.iou_thrs[0]:0.2f}:{self.params.iou_thrs[-1]:0.2f}"
            group = key[2] if len(key) > 2 and key[2] in "rcf" else "all"
            area = key[2] if len(key) > 2 and key[2] in "sml" else "all"
            print(template.format(title, kind, iou, area, max_dets, group, value))

    def get_results(self) -> OrderedDict[str, Any]:
        """The summary ``results`` (empty, with a warning, before ``run()``)."""
        if not self.results:
            self.logger.warning("results is empty. Call run().")
        return self.results

    # ------------------------------------------------------------ per-image access (slow path)

    def _prepare(self) -> None:
        """Fills ``_gts`` and ``_dts``: per (image, category), the ground
        truths and the federated detections of the evaluated images."""
        p = self.params
        imgs, cats = set(p.img_ids), set(p.cat_ids)
        self._gts, self._dts = defaultdict(list), defaultdict(list)
        gts, dets = self._federated()[:2]
        for g in gts:
            if g["image_id"] in imgs and (not p.use_cats or g["category_id"] in cats):
                self._gts[g["image_id"], g["category_id"]].append(g)
        for d in dets:
            if d["image_id"] in imgs and (not p.use_cats or d["category_id"] in cats):
                self._dts[d["image_id"], d["category_id"]].append(d)
        self._prepared = True

    def _get_gt_dt(self, img_id: Any, cat_id: Any) -> tuple[list[Any], list[Any]]:
        """The ground truths and detections of an image in one category (all categories without use_cats)."""
        if not getattr(self, "_prepared", False):
            self._prepare()
        if self.params.use_cats:
            return self._gts.get((img_id, cat_id), []), self._dts.get((img_id, cat_id), [])
        cats = dict.fromkeys(self.params.cat_ids)
        gts = [g for c in cats for g in self._gts.get((img_id, c), [])]
        dts = [d for c in cats for d in self._dts.get((img_id, c), [])]
        return gts, dts

    def compute_iou(self, img_id: Any, cat_id: Any) -> Any:
        """IoUs of an image's detections (by descending score) with its ground truths; [] if either is empty."""
        gts, dts = self._get_gt_dt(img_id, cat_id)
        if not gts or not dts:
            return []
        order = np.argsort([-d["score"] for d in dts], kind="mergesort")
        dts = [dts[i] for i in order]
        if self.params.iou_type == "segm":
            dt_geo: Any = [self.lvis_dt.ann_to_rle(d) for d in dts]
            gt_geo: Any = [self.lvis_gt.ann_to_rle(g) for g in gts]
        else:
            dt_geo = np.array([d["bbox"] for d in dts], dtype=np.float64)
            gt_geo = np.array([g["bbox"] for g in gts], dtype=np.float64)
        return _zerlin.iou(dt_geo, gt_geo, [0] * len(gts))

    def evaluate_img(self, img_id: Any, cat_id: Any, area_rng: Any) -> dict[Any, Any] | None:
        """The match record of one image, category and area range (None when
        it has neither ground truth nor detections), by a one-image engine run."""
        gts, dts = self._get_gt_dt(img_id, cat_id)
        img = self.lvis_gt.imgs[img_id]
        gt_ignore = [bool(g.get("ignore", False)) for g in gts]
        non_exhaustive = [(img_id, c) for c in img.get("not_exhaustive_category_ids", [])]
        cats = [cat_id] if self.params.use_cats else [-1]
        ev = self._evaluator(gts, dts, gt_ignore, non_exhaustive, [img_id], cats, [area_rng])
        raw = ev.run(collect_eval_imgs=True)["evalImgs"][0]
        return self._entry(raw, img_id, cat_id, area_rng)


def __getattr__(name: str) -> Any:
    # LVISVis lives in lvis_vis, which imports this module; resolving it on first use avoids the cycle.
    if name == "LVISVis":
        from .lvis_vis import LVISVis

        return LVISVis
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _install() -> None:
    """Registers this module as the ``lvis`` package (``lvis``, ``lvis.lvis``,
    ``lvis.results``, ``lvis.eval``, ``lvis.vis``, ``lvis.colormap``) in
    ``sys.modules``, so that later imports of it resolve here. Like the
    reference's import, it also gives the root logger the reference's format
    unless logging is configured."""
    from .lvis_vis import LVISVis, colormap

    root = types.ModuleType("lvis", "The lvis package API on the vantorel engine.")
    root.__path__ = []  # a package, so submodule imports look in sys.modules
    subs: dict[str, dict[str, Any]] = {
        "lvis": {"LVIS": LVIS},
        "results": {"LVIS": LVIS, "LVISResults": LVISResults},
        "eval": {"LVIS": LVIS, "LVISResults": LVISResults, "LVISEval": LVISEval, "Params": Params},
        "colormap": {"colormap": colormap},
        "vis": {"LVIS": LVIS, "LVISResults": LVISResults, "LVISVis": LVISVis, "colormap": colormap},
    }
    for name, members in subs.items():
        mod = types.ModuleType(f"lvis.{name}")
        for member, value in members.items():
            setattr(mod, member, value)
        mod.__package__ = "lvis"
        setattr(root, name, mod)
        sys.modules[f"lvis.{name}"] = mod
    for member in ("LVIS", "LVISResults", "LVISEval", "LVISVis"):
        setattr(root, member, subs["eval"].get(member) or subs["vis"][member])
    root.__all__ = ["LVIS", "LVISResults", "LVISEval", "LVISVis"]  # type: ignore[attr-defined]
    root.__package__ = "lvis"
    sys.modules["lvis"] = root
    logging.basicConfig(format="[%(asctime)s] %(name)s %(levelname)s: %(message)s", datefmt="%m/%d %H:%M:%S")
