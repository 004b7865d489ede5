"""``lvis.lvis``: the ``LVIS`` ground-truth API on the vantorel engine."""

from __future__ import annotations

import logging
import os
import pickle
import urllib.request
from collections import defaultdict
from typing import Any

import numpy as np

from ... import _zerlin
from ..._conventions import segmentation_rle
from ..._lazy import build_lock
from ...loading import compact_or_objects, gc_paused, naming_file, read_json

__all__ = ["LVIS"]

_PathOrDict = str | os.PathLike[str] | dict[Any, Any]


def _load_json(path: str | os.PathLike[str]) -> Any:
    with naming_file("JSON", path):
        return read_json(path)


def _load_dataset(path: str | os.PathLike[str]) -> tuple[Any, _zerlin.CompactBbox | None]:
    """The file's document, its annotations kept in native columns (the
    handle) where the compact grammar takes them (None in their place)."""
    with naming_file("JSON", path):
        document, handle, _ = compact_or_objects(os.fspath(path))
    return document, handle


def _json_copy(data: Any) -> Any:
    """A deep copy of JSON-like data; pickling is several times faster than
    copy.deepcopy on such data and keeps the same sharing."""
    with gc_paused():
        return pickle.loads(pickle.dumps(data, protocol=pickle.HIGHEST_PROTOCOL))


class LVIS:
    """LVIS ground truth with the reference's lookup indexes.

    A file's annotations stay in the native columns, which ``LVISEval``
    reads, until someone reads ``dataset``, ``anns`` or the two maps: their
    dicts are made then, under the object's lock, and published whole.

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
        self._compact: Any = None
        handle = None
        if isinstance(annotation_path, dict):
            self.dataset = annotation_path
        else:
            self.dataset, handle = _load_dataset(annotation_path)
        if not isinstance(self._held(), dict):
            raise AssertionError(f"Annotation file format {type(self._held())} not supported.")
        if handle is not None:
            self._hold_compact(handle)
            return
        self._create_index()

    def _load_json(self, path: str | os.PathLike[str]) -> Any:
        return _load_json(path)

    def _held(self) -> Any:
        """The dataset as held: its "annotations" None while they stay in the columns."""
        return self.__dict__["dataset"]

    # -- annotations held compactly -----------------------------------------

    def _hold_compact(self, compact: Any) -> None:
        """Holds the annotations as ``compact`` (what ``_annotations_of``
        makes the dicts of); the index over them is made when first read."""
        self.logger.info("Creating index.")  # the reference's messages
        dataset = self._held()
        dataset["annotations"] = None
        self.cats: dict[Any, Any] = {c["id"]: c for c in dataset["categories"]}
        self.imgs: dict[Any, Any] = {img["id"]: img for img in dataset["images"]}
        self._compact = compact
        self.logger.info("Index created.")

    def _annotations_of(self, compact: Any) -> list[Any]:
        """The annotation dicts of what ``_hold_compact`` holds."""
        anns: list[Any] = compact.annotations()
        return anns

    def _materialise(self) -> None:
        if self.__dict__.get("_compact") is None:
            return
        with build_lock(self):
            compact = self._compact
            if compact is None:
                return
            with gc_paused():
                anns = self._annotations_of(compact)
                by_id, by_image, images_by_cat = _zerlin.index_annotations(anns, True)
            self._held()["annotations"] = anns
            self.__dict__.update(
                anns=by_id, img_ann_map=defaultdict(list, by_image), cat_img_map=defaultdict(list, images_by_cat)
            )
            self._compact = None

    def __getstate__(self) -> dict[str, Any]:
        """Pickled and copied with its dicts made (the columns do not pickle)."""
        self._materialise()
        state = dict(self.__dict__)
        state["_compact"] = None
        return state

    def _evaluation_side(self) -> tuple[Any, int | None]:
        """The annotations as the engine takes them (a handle while held
        compactly), and the per-image cap the engine must apply (None)."""
        with build_lock(self):
            return self._compact if self._compact is not None else self._held()["annotations"], None

    def _create_index(self) -> None:
        self.logger.info("Creating index.")
        with gc_paused():
            by_id, by_image, images_by_cat = _zerlin.index_annotations(self.dataset["annotations"], True)
        self.img_ann_map: defaultdict[Any, Any] = defaultdict(list, by_image)
        self.cat_img_map: defaultdict[Any, Any] = defaultdict(list, images_by_cat)
        self.anns: dict[Any, Any] = by_id
        self.cats = {c["id"]: c for c in self.dataset["categories"]}
        self.imgs = {img["id"]: img for img in self.dataset["images"]}
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
        rle: dict[Any, Any] = segmentation_rle(ann["segmentation"], img["height"], img["width"])
        return rle

    def ann_to_mask(self, ann: dict[Any, Any]) -> np.ndarray:
        """The annotation's segmentation as a binary (height, width) uint8 mask."""
        mask: np.ndarray = _zerlin.decode([self.ann_to_rle(ann)])[:, :, 0]
        return mask


def _lazy_member(name: str) -> property:
    """A member that makes the annotation dicts of compactly held ones when read."""

    def get(self: LVIS) -> Any:
        self._materialise()
        return self.__dict__[name]

    def put(self: LVIS, value: Any) -> None:
        self._materialise()
        self.__dict__[name] = value

    return property(get, put)


for _name in ("dataset", "anns", "img_ann_map", "cat_img_map"):
    setattr(LVIS, _name, _lazy_member(_name))
