"""``lvis.eval``: ``LVISEval`` and its ``Params``, the federated evaluation on the native engine."""

from __future__ import annotations

import datetime
import logging
import os
from collections import OrderedDict, defaultdict
from collections.abc import Callable
from typing import Any

import numpy as np

from ... import _engine, _zerlin
from ..._lazy import build_lock
from ...loading import gc_paused
from ...params import Params as _EngineParams
from .lvis import LVIS
from .results import LVISResults

__all__ = ["LVIS", "LVISEval", "LVISResults", "Params"]


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

    def _evaluator(
        self,
        gts: list[Any],
        dets: list[Any],
        images: list[Any],
        img_ids: list[Any],
        cat_ids: list[Any],
        area_rng: list[Any],
        cap: int | None = None,
    ) -> _zerlin.Evaluator:
        """The engine under the federated protocol: detections count only in
        their image's verified categories (present or negative), and, as in
        the reference, annotations whose area is not strictly between 0 and
        infinity (empty masks, degenerate boxes) take no part on either side.
        ``dets`` is a list that ``LVISResults`` capped already, or its
        columns with the per-image ``cap`` it applies (None: none)."""
        p = self.params
        uncapped = (len(dets) if isinstance(dets, list) else dets.annotation_count) + 1
        core = _EngineParams(
            iou_type=p.iou_type,
            img_ids=[int(i) for i in img_ids],
            cat_ids=[int(c) for c in cat_ids],
            iou_thrs=np.asarray(p.iou_thrs, dtype=np.float64),
            rec_thrs=np.asarray(p.rec_thrs, dtype=np.float64),
            max_dets=[uncapped],
            area_rng=[[float(lo), float(hi)] for lo, hi in area_rng],
            area_labels=[str(k) for k in range(len(area_rng))],
            use_cats=bool(p.use_cats),
        )
        sizes = {img["id"]: (img["height"], img["width"]) for img in self.lvis_gt._held()["images"]}
        federated = _engine.Federated.of_dataset({"images": images}, gts, uncapped if cap is None else cap)
        return _engine.evaluator(gts, dets, sizes, core, federated)

    def evaluate(self) -> None:
        """Runs the matching and accumulation in the engine; ``eval_imgs`` and
        ``ious`` are then built from it when first read."""
        self.logger.info("Running per image evaluation.")
        self.logger.info(f"Evaluate annotation type *{self.params.iou_type}*")
        p = self.params
        p.img_ids = list(np.unique(p.img_ids))
        # Duplicate category ids are evaluated once and repeated per slot, as the reference repeats them.
        engine_cats = list(dict.fromkeys(p.cat_ids)) if p.use_cats else [-1]
        slot_of = {c: k for k, c in enumerate(engine_cats)}
        slots = [slot_of[c] for c in p.cat_ids] if p.use_cats else [0]
        # Both sides as held: native columns are read there, without making their dicts.
        gts, images = self.lvis_gt._evaluation_side()[0], self.lvis_gt._held()["images"]
        dets, cap = self.lvis_dt._evaluation_side()
        img_ids, area_rng = list(p.img_ids), list(p.area_rng)
        ev = self._evaluator(gts, dets, images, img_ids, engine_cats, area_rng, cap)
        run = ev.run()
        self._run = {"precision": run["precision"], "recall": run["recall"]}  # the scores are no part of LVIS's
        del run
        redo = None
        if not isinstance(dets, list):
            # The columns' detection ids are file positions; records read
            # later come from the same evaluation of the result dicts, whose
            # ids are the reference's (positions after the cap).
            def redo() -> _zerlin.Evaluator:
                anns = self.lvis_dt.dataset["annotations"]
                return self._evaluator(gts, anns, images, img_ids, engine_cats, area_rng)

        self._engine = (ev, slots, len(engine_cats), redo)
        self._eval_imgs = _PENDING
        self._ious = _PENDING
        self._gts, self._dts = defaultdict(list), defaultdict(list)
        self._prepared = False

    def _records_engine(self) -> _zerlin.Evaluator:
        """The evaluate() engine, in the reference's detection ids."""
        assert self._engine is not None
        with build_lock(self):
            ev, slots, n_engine, redo = self._engine
            if redo is not None:
                ev = redo()
                self._engine = (ev, slots, n_engine, None)
            engine: _zerlin.Evaluator = ev
            return engine

    def _build_eval_imgs(self) -> list[Any]:
        assert self._engine is not None
        ev = self._records_engine()
        _, slots, n_engine, _ = self._engine
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
        p, (_, slots, n_engine, _) = self.params, self._engine
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
        axes = _engine.Axes.of_reference(p)
        groups = dict(zip(p.img_count_lbl, self._prepare_freq_group(), strict=False)) if p.use_cats else {}
        precision, recall = self.eval["precision"][..., None], self.eval["recall"][..., None]
        # The reference reports a line with nothing to average as the int -1.
        self.results = OrderedDict()
        for line in _engine.summary_lines("lvis", axes):
            value = _engine.line_value(line, precision, recall, axes, groups)
            self.results[line.key] = -1 if value == -1 else np.float64(value)

    def run(self) -> None:
        """``evaluate()``, ``accumulate()`` and ``summarize()``."""
        self.evaluate()
        self.accumulate()
        self.summarize()

    def print_results(self) -> None:
        """Prints the summary lines of ``results`` in the reference's layout."""
        axes = _engine.Axes.of_reference(self.params)
        for line in _engine.summary_lines("lvis", axes):
            if line.key not in self.results:
                continue
            # The reference names an area range and a frequency group by their first letter.
            label = line.label(axes.iou_thrs, area=line.area if line.area == "all" else line.area[0])
            print(f" {label[:-2]} catIds={line.group or 'all':>3s}] = {self.results[line.key]:0.3f}")

    def get_results(self) -> OrderedDict[str, Any]:
        """The summary ``results`` (empty, with a warning, before ``run()``)."""
        if not self.results:
            self.logger.warning("results is empty. Call run().")
        return self.results

    # ------------------------------------------------------------ per-image access (slow path)

    def _prepare(self) -> None:
        """Fills ``_gts`` and ``_dts``: per (image, category), the ground
        truths and detections of the evaluated images that the engine's
        federated selection keeps, in file order."""
        p = self.params
        gt, dt = self.lvis_gt.dataset, self.lvis_dt.dataset
        if self._engine is not None:
            ev = self._records_engine()
        else:
            cats = list(dict.fromkeys(p.cat_ids)) if p.use_cats else [-1]
            ev = self._evaluator(gt["annotations"], dt["annotations"], gt["images"], p.img_ids, cats, p.area_rng[:1])
        dt_rows, gt_rows = ev.per_instance(0, 0, len(dt["annotations"]) + 1)
        kept_gts, kept_dts = set(gt_rows["gt_id"].tolist()), set(dt_rows["dt_id"].tolist())
        imgs, wanted = set(p.img_ids), set(p.cat_ids)
        self._gts, self._dts = defaultdict(list), defaultdict(list)
        for anns, kept, out in ((gt["annotations"], kept_gts, self._gts), (dt["annotations"], kept_dts, self._dts)):
            for a in anns:
                if a["id"] in kept and a["image_id"] in imgs and (not p.use_cats or a["category_id"] in wanted):
                    out[a["image_id"], a["category_id"]].append(a)
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
        cats = [cat_id] if self.params.use_cats else [-1]
        ev = self._evaluator(gts, dts, [self.lvis_gt.imgs[img_id]], [img_id], cats, [area_rng])
        raw = ev.run(collect_eval_imgs=True)["evalImgs"][0]
        return self._entry(raw, img_id, cat_id, area_rng)
