"""``pycocotools.coco.COCO`` on the native loaders.

The public attributes (``dataset``, ``anns``, ``imgs``, ``cats``,
``imgToAnns``, ``catToImgs``) and methods behave as the reference's do, with
the same printed messages. What differs is when the work happens: a dataset
file or a results file is kept in the native compact form, and the annotation
dicts and their indexes are made the first time someone reads them. An
evaluation through ``vantorel.compat.cocoeval.COCOeval`` never needs them, so
it runs without one Python object per annotation.

Deliberate differences from the reference:

- ``COCO(dict)`` is accepted (the reference takes only a path).
- ``loadRes([])`` gives an empty result set (the reference fails on an empty list).
- ``loadAnns``/``loadCats``/``loadImgs`` given one NumPy integer id return that
  item in a list (the reference returns None for anything but a Python int).

Examples
--------
>>> from vantorel.compat.coco import COCO
>>> gt = COCO("data/instances_val2014_100.json")          # doctest: +SKIP
>>> dt = gt.loadRes("data/instances_val2014_fakebbox100_results.json")  # doctest: +SKIP
>>> dt.loadAnns(1)[0]["area"]                              # doctest: +SKIP
"""

from __future__ import annotations

import itertools
import operator
import os
import time
from collections import defaultdict
from collections.abc import Callable
from typing import Any

import numpy as np

from .. import _zerlin
from .._conventions import result_kind, rows_as_dicts, segmentation_rle
from .._lazy import build_lock
from ..loading import gc_paused, read_json
from . import mask as maskUtils
from ._copying import deep_copy
from ._output import emit

__all__ = ["COCO"]


def _is_array_like(obj: Any) -> bool:
    return hasattr(obj, "__iter__") and hasattr(obj, "__len__")


def _as_list(obj: Any) -> Any:
    """A lone id as a one-item list; anything with a length as it is (so a
    str name is matched as the reference matches it, by containment)."""
    return obj if _is_array_like(obj) else [obj]


class COCO:
    """Ground truth or results in the COCO format, with the reference's lookup API.

    Parameters
    ----------
    annotation_file : str, os.PathLike, dict or None
        A dataset file, an already-loaded dataset dict, or None for an empty
        object to fill with ``coco.dataset = ...; coco.createIndex()``.
    """

    def __init__(self, annotation_file: str | os.PathLike[str] | dict[Any, Any] | None = None) -> None:
        self._dataset: dict[Any, Any] = {}
        self._anns: dict[Any, Any] = {}
        self._imgs: dict[Any, Any] = {}
        # A loadRes set's images (the ground truth's, already indexed there),
        # indexed when first read: a per-batch loop never reads them.
        self._imgs_source: tuple[Any, ...] | None = None
        self._images_trusted = False
        self.cats: dict[Any, Any] = {}
        self._img_to_anns: defaultdict[Any, Any] = defaultdict(list)
        self._cat_to_imgs: defaultdict[Any, Any] = defaultdict(list)
        # While annotations are pending, ``_fast`` is what the evaluator reads
        # (a compact handle or a list of dicts) and ``_make_anns`` makes the
        # reference's annotation dicts on demand.
        self._fast: Any = None
        self._make_anns: Callable[[], list[Any]] | None = None
        self._index_pending = False
        # The file this was loaded from (so that a pickled evaluation state can
        # name its ground truth) and, for a loadRes set, how its results were
        # completed; both forgotten when ``dataset`` is replaced.
        self._path: str | None = None
        self._result_kind: str | None = None
        if annotation_file is None:
            return
        if isinstance(annotation_file, dict):
            self._dataset = annotation_file
            self.createIndex()
            return
        emit("loading annotations into memory...")
        tic = time.time()
        path = os.fspath(annotation_file)
        self._path = path
        dataset, handle = _load_dataset(path)
        emit(f"Done (t={time.time() - tic:0.2f}s)")
        self._dataset = dataset
        if handle is not None:
            self._fast = handle

            def make() -> list[Any]:
                with gc_paused():
                    anns: list[Any] = handle.annotations()
                    return anns

            self._make_anns = make
        self.createIndex()

    def __getstate__(self) -> dict[str, Any]:
        """Pickled and copied with its dicts made: the compact handle and the
        function that makes dicts from it do not pickle."""
        self._materialise()
        state = dict(self.__dict__)
        state["_fast"] = None
        state["_make_anns"] = None
        return state

    # -- lazily made members ------------------------------------------------

    def _materialise(self) -> None:
        """Makes the annotation dicts and, if asked for, their indexes.

        Under the object's lock, and each flag cleared only once what it
        guards is in place: a reader in another thread either finds nothing
        pending or waits for the build, never sees it half done."""
        if self._make_anns is None and not self._index_pending:
            return
        with build_lock(self):
            if self._make_anns is not None:
                self._dataset["annotations"] = self._make_anns()
                self._make_anns = None
                self._fast = None
            if self._index_pending:
                self._build_annotation_index()
                self._index_pending = False

    @property
    def dataset(self) -> dict[Any, Any]:
        self._materialise()
        return self._dataset

    @dataset.setter
    def dataset(self, value: dict[Any, Any]) -> None:
        with build_lock(self):
            self._dataset = value
            self._make_anns = self._fast = None
            self._index_pending = False
            self._path = self._result_kind = None

    @property
    def imgs(self) -> dict[Any, Any]:
        if self._imgs_source is not None:
            with build_lock(self):
                source = self._imgs_source
                if source is not None:
                    self._imgs = _image_index(source)
                    self._imgs_source = None
        return self._imgs

    @imgs.setter
    def imgs(self, value: dict[Any, Any]) -> None:
        with build_lock(self):
            self._imgs, self._imgs_source = value, None

    @property
    def anns(self) -> dict[Any, Any]:
        self._materialise()
        return self._anns

    @anns.setter
    def anns(self, value: dict[Any, Any]) -> None:
        self._materialise()
        self._anns = value

    @property
    def imgToAnns(self) -> defaultdict[Any, Any]:
        self._materialise()
        return self._img_to_anns

    @imgToAnns.setter
    def imgToAnns(self, value: defaultdict[Any, Any]) -> None:
        self._materialise()
        self._img_to_anns = value

    @property
    def catToImgs(self) -> defaultdict[Any, Any]:
        self._materialise()
        return self._cat_to_imgs

    @catToImgs.setter
    def catToImgs(self, value: defaultdict[Any, Any]) -> None:
        self._materialise()
        self._cat_to_imgs = value

    def _has_annotation_id_zero(self) -> bool:
        """Whether an annotation's id is 0 (or 0.0), without making the
        annotation dicts of a file still held compactly: its id column is
        searched (the ids as the dicts will hold them; a pending list is of
        results, numbered from 1). Made dicts are checked through the id
        index, in one lookup (an evaluation per batch asks on every batch; 0,
        0.0 and False are one key there, as they are equal to 0 here)."""
        fast = self._fast
        if self._make_anns is not None:
            return isinstance(fast, _zerlin.CompactBbox) and bool(fast.has_annotation_id(0))
        return 0 in self.anns

    def _evaluation_side(self) -> Any:
        """The annotations as the native evaluator takes them: the compact
        handle or list held while nobody has read the dicts, else the dicts."""
        with build_lock(self):
            if self._make_anns is not None:
                return self._fast
            return self._dataset.get("annotations") or []

    # -- index ---------------------------------------------------------------

    def createIndex(self) -> None:
        """Builds ``anns``, ``imgs``, ``cats``, ``imgToAnns`` and ``catToImgs``."""
        emit("creating index...")
        with build_lock(self):
            ds = self._dataset
            images = ds.get("images", ())
            if self._images_trusted:
                self._imgs_source = tuple(images)
            else:
                self._imgs, self._imgs_source = _image_index(images), None
            self.cats = {cat["id"]: cat for cat in ds.get("categories", ())} if "categories" in ds else {}
            if self._make_anns is not None:
                self._index_pending = True  # made with the annotations, on first read
            else:
                self._build_annotation_index()
        emit("index created!")

    def _integer_image_ids(self) -> None:
        """Makes each image's "id" and each annotation's "image_id" an int
        where it is another integer-valued type ("7", 7.0, numpy ints), in
        place, as faster-coco-eval's index does; ValueError naming the field
        for one that is not. Annotations still held compactly by a loaded
        file are left to its loader unless an image id had to change."""
        changed = _coerce_ids(self._dataset.get("images") or (), "id", "images")
        if self._make_anns is None or changed:
            _coerce_ids(self.dataset.get("annotations") or (), "image_id", "annotations")

    def _build_annotation_index(self) -> None:
        ds = self._dataset
        anns: dict[Any, Any] = {}
        by_image: defaultdict[Any, Any] = defaultdict(list)
        by_cat: defaultdict[Any, Any] = defaultdict(list)
        if "annotations" in ds and ds["annotations"] is not None:
            given = ds["annotations"]
            # A list subclass may define its own iteration: honour it, once.
            listed = given if type(given) is list else list(given)
            with gc_paused():
                anns, images, cats = _zerlin.index_annotations(listed, "categories" in ds)
            by_image.update(images)
            by_cat.update(cats)
        self._anns, self._img_to_anns, self._cat_to_imgs = anns, by_image, by_cat

    def info(self) -> None:
        """Prints the dataset's "info" member, one key per line."""
        for key, value in self.dataset["info"].items():
            emit(f"{key}: {value}")

    # -- queries -------------------------------------------------------------

    def getAnnIds(self, imgIds: Any = (), catIds: Any = (), areaRng: Any = (), iscrowd: Any = None) -> list[Any]:
        """Ids of the annotations on the given images, of the given categories,
        with area strictly inside ``areaRng`` and the given crowd flag."""
        imgIds, catIds = _as_list(imgIds), _as_list(catIds)
        if len(imgIds) == len(catIds) == len(areaRng) == 0:
            anns = self.dataset["annotations"]
        else:
            if len(imgIds):
                by_image = self.imgToAnns
                anns = list(itertools.chain.from_iterable(by_image[i] for i in imgIds if i in by_image))
            else:
                anns = self.dataset["annotations"]
            if len(catIds):
                anns = [a for a in anns if a["category_id"] in catIds]
            if len(areaRng):
                anns = [a for a in anns if areaRng[0] < a["area"] < areaRng[1]]
        if iscrowd is not None:
            return [a["id"] for a in anns if a["iscrowd"] == iscrowd]
        return [a["id"] for a in anns]

    def getCatIds(self, catNms: Any = (), supNms: Any = (), catIds: Any = ()) -> list[Any]:
        """Ids of the categories with the given names, supercategories and ids."""
        catNms, supNms, catIds = _as_list(catNms), _as_list(supNms), _as_list(catIds)
        cats = self._dataset["categories"]
        if len(catNms):
            cats = [c for c in cats if c["name"] in catNms]
        if len(supNms):
            cats = [c for c in cats if c["supercategory"] in supNms]
        if len(catIds):
            cats = [c for c in cats if c["id"] in catIds]
        return [c["id"] for c in cats]

    def getImgIds(self, imgIds: Any = (), catIds: Any = ()) -> list[Any]:
        """Ids of the given images that hold every one of the given categories."""
        imgIds, catIds = _as_list(imgIds), _as_list(catIds)
        if len(imgIds) == len(catIds) == 0:
            return list(self.imgs.keys())
        ids = set(imgIds)
        for i, cat_id in enumerate(catIds):
            if i == 0 and not ids:
                ids = set(self.catToImgs[cat_id])
            else:
                ids &= set(self.catToImgs[cat_id])
        return list(ids)

    def loadAnns(self, ids: Any = ()) -> list[Any]:
        """The annotation dicts of the given id or ids."""
        return _load(self.anns, ids)

    def loadCats(self, ids: Any = ()) -> list[Any]:
        """The category dicts of the given id or ids."""
        return _load(self.cats, ids)

    def loadImgs(self, ids: Any = ()) -> list[Any]:
        """The image dicts of the given id or ids."""
        return _load(self.imgs, ids)

    def showAnns(self, anns: list[Any], draw_bbox: bool = False) -> None:
        """Draws annotations on the current matplotlib axes (needs matplotlib)."""
        import matplotlib.pyplot as plt
        from matplotlib.collections import PatchCollection
        from matplotlib.patches import Polygon

        if not anns:
            return
        if "segmentation" not in anns[0] and "keypoints" not in anns[0]:
            raise ValueError("datasetType not supported")
        ax = plt.gca()
        ax.set_autoscale_on(False)
        polygons: list[Any] = []
        colors: list[Any] = []
        for ann in anns:
            c = (np.random.random((1, 3)) * 0.6 + 0.4).tolist()[0]  # noqa: NPY002 -- np.random.seed() sets these colours, as in the reference
            seg = ann.get("segmentation")
            if isinstance(seg, list):
                for poly in seg:
                    polygons.append(Polygon(np.array(poly).reshape((len(poly) // 2, 2))))
                    colors.append(c)
            elif seg is not None:
                m = maskUtils.decode(self.annToRLE(ann))
                img = np.ones((m.shape[0], m.shape[1], 3)) * np.array(c)
                ax.imshow(np.dstack((img, m * 0.5)))
            if draw_bbox:
                x, y, w, h = ann["bbox"]
                polygons.append(Polygon(np.array([[x, y], [x, y + h], [x + w, y + h], [x + w, y]])))
                colors.append(c)
        ax.add_collection(PatchCollection(polygons, facecolor=colors, linewidths=0, alpha=0.4))
        ax.add_collection(PatchCollection(polygons, facecolor="none", edgecolors=colors, linewidths=2))

    # -- results -------------------------------------------------------------

    def loadRes(self, resFile: Any) -> COCO:
        """A results ``COCO`` sharing this ground truth's images and categories.

        ``resFile`` is a path, a list of result dicts or an Nx7 array
        [image_id, x, y, w, h, score, category_id]. Derived fields are those
        of the reference: ids 1..N, ``iscrowd`` 0, areas and boxes from the
        boxes, masks or keypoints (decided by the first result), and a box
        polygon as ``segmentation`` of box results. Results naming an image
        that this set lacks are refused with AssertionError, as the
        reference refuses them. A list is completed in place.
        """
        res = COCO()
        res._dataset["info"] = deep_copy(self._dataset.get("info", {}))
        res._dataset["images"] = list(self._dataset["images"])
        emit("Loading and preparing results...")
        tic = time.time()
        # The image index answers "is this id known" as a set would, without
        # a new set per call (a per-batch loop calls this for every batch).
        known = self.imgs if self.imgs else {img["id"]: img for img in self._dataset["images"]}
        loaded = _load_results(resFile, self, known)
        if isinstance(loaded.fast, _zerlin.CompactBbox):
            if not loaded.fast.valid_images(list(known)):
                raise AssertionError("Results do not correspond to current coco set")
        elif not loaded.images_known and not all(a["image_id"] in known for a in loaded.anns):
            raise AssertionError("Results do not correspond to current coco set")
        kind = loaded.kind
        if kind == "caption":
            present = {a["image_id"] for a in loaded.anns}
            res._dataset["images"] = [img for img in res._dataset["images"] if img["id"] in present]
            for i, a in enumerate(loaded.anns):
                a["id"] = i + 1
        elif kind is not None:
            res._dataset["categories"] = deep_copy(self._dataset["categories"])
            if kind == "segm":
                _complete_segm(loaded.anns)
            elif kind == "keypoints":
                _complete_keypoints(loaded.anns)
        emit(f"DONE (t={time.time() - tic:0.2f}s)")
        if loaded.make is not None:
            res._fast, res._make_anns = loaded.fast, loaded.make
        else:
            res._dataset["annotations"] = loaded.anns
        res._result_kind = kind
        res._images_trusted = kind != "caption"  # the ground truth's own list, indexed there
        res.createIndex()
        res._images_trusted = False
        return res

    def loadNumpyAnnotations(self, data: np.ndarray) -> list[Any]:
        """Result dicts from an Nx7 array [image_id, x, y, w, h, score, category_id]."""
        emit("Converting ndarray to lists...")
        assert isinstance(data, np.ndarray)
        emit(data.shape)
        assert data.shape[1] == 7
        n = data.shape[0]
        for i in range(0, n, 1000000):
            emit(f"{i}/{n}")
        return rows_as_dicts(data, numpy_values=True)

    # -- masks ---------------------------------------------------------------

    def annToRLE(self, ann: dict[Any, Any]) -> dict[Any, Any]:
        """The annotation's segmentation as one RLE dict at its image's size."""
        img = self.imgs[ann["image_id"]]
        rle: dict[Any, Any] = segmentation_rle(ann["segmentation"], img["height"], img["width"])
        return rle

    def annToMask(self, ann: dict[Any, Any]) -> np.ndarray:
        """The annotation's segmentation as an (h, w) uint8 mask."""
        return maskUtils.decode(self.annToRLE(ann))

    def download(self, tarDir: str | None = None, imgIds: Any = ()) -> int:
        """Downloads the images of ``imgIds`` into ``tarDir`` (their "coco_url")."""
        from urllib.request import urlretrieve

        if tarDir is None:
            emit("Please specify target directory")
            return -1
        imgs = self.imgs.values() if not imgIds else self.loadImgs(imgIds)
        os.makedirs(tarDir, exist_ok=True)
        for i, img in enumerate(imgs):
            tic = time.time()
            fname = os.path.join(tarDir, img["file_name"])
            if not os.path.exists(fname):
                urlretrieve(img["coco_url"], fname)
            emit(f"downloaded {i}/{len(imgs)} images (t={time.time() - tic:0.1f}s)")
        return 0


def _image_index(images: Any) -> dict[Any, Any]:
    return dict(zip(map(operator.itemgetter("id"), images), images))


def _coerce_ids(records: Any, field: str, where: str) -> bool:
    """``int()`` of ``record[field]`` where it is not an int already; whether any changed."""
    changed = False
    # list's own iteration: a subclass's __iter__ is left for the index's one pass.
    for record in list.__iter__(records) if isinstance(records, list) else records:
        value = record.get(field) if isinstance(record, dict) else None
        if value is None or type(value) is int:
            continue
        try:
            record[field] = int(value)
        except (TypeError, ValueError) as e:
            raise ValueError(f"{where}: {field} {value!r} is not an integer") from e
        changed = True
    return changed


def _load(index: dict[Any, Any], ids: Any) -> list[Any]:
    if _is_array_like(ids):
        return [index[i] for i in ids]
    if isinstance(ids, (int, np.integer)):
        return [index[ids]]
    return []


# "id": 0 in JSON text (also 0.0, -0 and 1e-0 style zeros); "image_id" and the
# like do not match, as the quote must come right before "id".


def _load_dataset(path: str) -> tuple[dict[Any, Any], Any]:
    """The dataset dict and, where the compact reader takes the file, the
    handle whose annotations are made on demand (else the dict holds them)."""
    try:
        dataset, handle = _zerlin.load_compact_bbox(path)
        if isinstance(dataset, dict) and dataset.get("annotations", None) is None and "annotations" in dataset:
            return dataset, handle
    except ValueError:
        pass  # refused by the compact grammar; the general reader decides
    try:
        dataset = read_json(path)
    except (OSError, ValueError) as err:
        err.add_note(f"while loading the annotation file '{path}'")
        raise
    if not isinstance(dataset, dict):
        raise AssertionError(  # the reference's type, which callers may catch
            f"annotation file format {type(dataset)} not supported: '{path}'"
        )
    return dataset, None


class _Loaded:
    """Results as loaded: dicts (``anns``), or a fast side with a maker of dicts."""

    def __init__(self, anns: list[Any] | None, kind: str | None, fast: Any = None, make: Any = None) -> None:
        self.anns = anns if anns is not None else []
        self.kind, self.fast, self.make = kind, fast, make
        self.images_known = False  # every result's image found already


def _load_results(res: Any, gt: COCO, known: Any) -> _Loaded:
    if isinstance(res, (str, os.PathLike)):
        path = os.fspath(res)
        try:
            handle = _zerlin.load_compact_bbox(path, results=True)[1]
        except ValueError:
            handle = None
        if handle is not None:

            def make() -> list[Any]:
                with gc_paused():
                    anns: list[Any] = handle.annotations()
                    _add_box_polygons(anns, reorder=True)
                return anns

            return _Loaded(None, "bbox", handle, make)
        try:
            anns = read_json(path)
        except (OSError, ValueError) as err:
            err.add_note(f"while loading the results file '{path}'")
            raise
    elif isinstance(res, np.ndarray):
        _print_numpy_header(res)
        data = res

        def make_from_array() -> list[Any]:
            anns = rows_as_dicts(data, numpy_values=True)
            _add_box_polygons(anns)
            _zerlin.prepare_bbox_results(anns)
            return anns

        arr = res if res.dtype in (np.float64, np.float32) else res.astype(np.float64)
        return _Loaded(None, "bbox", _zerlin.load_compact_array(arr), make_from_array)
    else:
        anns = res
    if not isinstance(anns, list):
        raise AssertionError("results in not an array of objects")  # the reference's type
    kind = result_kind(anns) if anns else "bbox"
    # The common case (box results as a detector writes them, of known
    # images) checked in one native pass; anything else by the checks below.
    plain = kind == "bbox" and bool(anns) and _zerlin.plain_box_results(anns, known)
    if not plain:
        _check_result_fields(anns, kind)
    if kind == "bbox" and anns:
        # Completed when someone reads the dicts. Meanwhile the evaluator
        # reads the caller's dicts, whose absent fields it defaults to exactly
        # the derived values; dicts that carry their own id, area or crowd
        # flag (which the reference overwrites) are read through copies.
        if not plain and not all(map(_DERIVED_KEYS.isdisjoint, anns)):
            with gc_paused():
                side = [dict(a) for a in anns]
                _zerlin.prepare_bbox_results(side)
        else:
            side = anns

        def make_list() -> list[Any]:
            _add_box_polygons(anns)
            _zerlin.prepare_bbox_results(anns)
            return anns

        loaded = _Loaded(anns, kind, side, make_list)
        loaded.images_known = plain
        return loaded
    return _Loaded(anns, kind)


# Result fields loadRes overwrites.
_DERIVED_KEYS = frozenset(("area", "id", "iscrowd"))


def _check_result_fields(anns: list[Any], kind: str | None) -> None:
    """The reference's exceptions for results it cannot evaluate: KeyError for
    a missing score, category_id or (box results) bbox, TypeError for None
    there (the reference fails later, in loadRes or evaluate)."""
    if kind in (None, "caption"):
        return
    keys = ("score", "category_id", "bbox") if kind == "bbox" else ("score", "category_id")
    get = operator.itemgetter(*keys)
    # The common case in one pass without a Python frame per result; a
    # missing key or a None goes through the loop below for its message.
    try:
        values = itertools.chain.from_iterable(map(get, anns))
        if not any(map(operator.is_, values, itertools.repeat(None))):
            return
    except Exception:  # the loop below raises it, with the reference's message
        pass
    for n, a in enumerate(anns):
        for key, value in zip(keys, get(a)):
            if value is None:
                raise TypeError(f"result {n} has {key} None")


def _print_numpy_header(data: np.ndarray) -> None:
    emit("Converting ndarray to lists...")
    emit(data.shape)
    n = data.shape[0]
    for i in range(0, n, 1000000):
        emit(f"{i}/{n}")


def _add_box_polygons(anns: list[Any], reorder: bool = False) -> None:
    """The box outline as the segmentation of box results that carry none.

    ``reorder`` moves area, id and iscrowd (filled in already) after it,
    where the reference's completion puts them.
    """
    for a in anns:
        if "segmentation" not in a:
            x, y, w, h = a["bbox"]
            x2, y2 = x + w, y + h
            if reorder:
                area, ann_id, crowd = a.pop("area"), a.pop("id"), a.pop("iscrowd")
            a["segmentation"] = [[x, y, x, y2, x2, y2, x2, y]]
            if reorder:
                a["area"], a["id"], a["iscrowd"] = area, ann_id, crowd


def _complete_segm(anns: list[Any]) -> None:
    """Mask areas (uint32 scalars) and boxes ((4,) arrays) as the reference fills them."""
    segs = [a["segmentation"] for a in anns]
    areas = _zerlin.area(segs)
    boxes = _zerlin.toBbox(segs)
    for i, a in enumerate(anns):
        a["area"] = areas[i]
        if "bbox" not in a:
            a["bbox"] = boxes[i]
        a["id"] = i + 1
        a["iscrowd"] = 0


def _complete_keypoints(anns: list[Any]) -> None:
    """The box spanning the keypoints and its area, as NumPy scalars like the reference's."""
    for i, a in enumerate(anns):
        s = a["keypoints"]
        x, y = np.asarray(s[0::3]), np.asarray(s[1::3])
        x0, x1, y0, y1 = np.min(x), np.max(x), np.min(y), np.max(y)
        a["area"] = (x1 - x0) * (y1 - y0)
        a["id"] = i + 1
        a["bbox"] = [x0, y0, x1 - x0, y1 - y0]
