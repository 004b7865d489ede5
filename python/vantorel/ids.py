"""Image and category ids as people have them, mapped to the engine's integers.

The engine keys images and categories by 64-bit integers; datasets often use
strings ("000123.jpg") or floats that hold whole numbers (ids that passed
through NumPy). Such ids are mapped to integers before the engine sees them,
in an order that keeps every sorted id list sorted the same way, so the
evaluation is the one the integer ids would give. Integer ids pass through
untouched: the mapping is only made when some id needs it.
"""

from __future__ import annotations

import numbers
from collections.abc import Hashable, Iterable
from dataclasses import dataclass, field
from operator import itemgetter, methodcaller
from typing import TYPE_CHECKING, Any

from . import _zerlin
from .params import Params

if TYPE_CHECKING:
    from .loading import ResultIds

_INT64 = (-(2**63), 2**63 - 1)


def sort_key(value: Any) -> tuple[int, Any]:
    """Orders numbers by value, then strings, then anything else by its text, so
    that ids of mixed kinds sort without a TypeError (the reference
    evaluation sorts ids with ``sorted``, which gives the same order whenever
    the ids are of one kind).

    Examples
    --------
    >>> sorted(["b", 10, 2.0, "a"], key=sort_key)
    [2.0, 10, 'a', 'b']
    """
    if isinstance(value, numbers.Real):  # NumPy's numbers too
        return (0, value)
    if isinstance(value, str):
        return (1, value)
    return (2, repr(value))


def sorted_distinct(ids: Iterable[Any]) -> list[Any]:
    """The ids in ``sort_key`` order, each once (as ``numpy.unique`` leaves
    the reference's image and category ids before it evaluates them).

    Examples
    --------
    >>> sorted_distinct([3, 1, 3, 2.0])
    [1, 2.0, 3]
    """
    out: list[Any] = []
    for value in sorted(ids, key=sort_key):
        if not out or sort_key(out[-1]) != sort_key(value):
            out.append(value)
    return out


@dataclass
class IdMap:
    """Original id -> engine integer, and back.

    Whole numbers (``3.0``) become the integer they hold; when any id is not a
    whole number, every id becomes its rank in sorted order instead.

    Examples
    --------
    >>> IdMap.of(["b", "a"]).to_engine
    {'a': 0, 'b': 1}
    >>> IdMap.of([3.0, 1]).to_engine[3.0]
    3
    """

    to_engine: dict[Hashable, int] = field(default_factory=dict)
    originals: dict[int, Hashable] = field(default_factory=dict)

    @classmethod
    def of(cls, ids: Iterable[Hashable]) -> IdMap:
        unique = set(ids)
        if all(_whole(v) for v in unique):
            to_engine = {v: int(v) for v in unique}  # type: ignore[call-overload]
        else:
            to_engine = {v: rank for rank, v in enumerate(sorted(unique, key=sort_key))}
        back: dict[int, Hashable] = {}
        for v, n in to_engine.items():
            # Of equal ids (3 and 3.0) the int is the one to show.
            if n not in back or type(v) is int:
                back[n] = v
        return cls(to_engine, back)

    def ids(self, values: Iterable[Hashable]) -> list[int]:
        return [self.to_engine[v] for v in values]

    def back(self, values: Iterable[int]) -> list[Hashable]:
        return [self.originals[v] for v in values]


def _whole(value: Any) -> bool:
    if isinstance(value, bool):
        return False
    if isinstance(value, int):
        return _INT64[0] <= value <= _INT64[1]
    return isinstance(value, float) and value.is_integer() and _INT64[0] <= value <= _INT64[1]


@dataclass
class EngineIds:
    """The id maps of one evaluation; either may be None (ids used as they are).

    Examples
    --------
    >>> EngineIds(IdMap.of(["x"]), None).image_back([0])
    ['x']
    """

    images: IdMap | None
    categories: IdMap | None

    def image_back(self, values: Iterable[int]) -> list[Hashable]:
        return self.images.back(values) if self.images else list(values)

    def category_back(self, values: Iterable[int]) -> list[Hashable]:
        return self.categories.back(values) if self.categories else list(values)


_image_id = itemgetter("image_id")
_category_id = itemgetter("category_id")
_id = itemgetter("id")
_category_id_or_none = methodcaller("get", "category_id")
_image_id_or_none = methodcaller("get", "image_id")


def _image_ids(anns: list[Any]) -> set[Any]:
    try:
        return set(map(_image_id, anns))
    except (KeyError, TypeError):
        for i, a in enumerate(anns):
            if not isinstance(a, dict) or "image_id" not in a:
                raise ValueError(f"the ground truth's annotations[{i}] has no 'image_id'") from None
        raise


def map_ids(
    dataset: dict[str, Any],
    gt_anns: Any,
    dets: Any,
    p: Params,
    named: ResultIds | None = None,
) -> tuple[dict[str, Any], Any, Any, EngineIds | None]:
    """The inputs as the engine takes them, and the maps back to the caller's ids.

    When every id already is an integer (the fast path) the inputs come back
    as they are and the maps are None. Otherwise the dataset, both
    annotation lists and ``p``'s id lists (``p`` is the evaluation's own
    copy, changed in place) come back with engine ids; compact handles turn
    into dict lists then, as their columns cannot be relabelled.

    ``named`` holds what ``check_results`` found of a results list (its
    distinct image ids and the types of its image and category ids), so the
    list is not read again unless a map is made.

    Examples
    --------
    >>> from vantorel import Params
    >>> p = Params(img_ids=["a"], cat_ids=[1])
    >>> ds = {"images": [{"id": "a"}], "categories": [{"id": 1}], "annotations": []}
    >>> mapped, gt, dets, ids = map_ids(ds, [], [{"image_id": "a", "category_id": 1}], p)
    >>> dets, p.img_ids, ids.image_back([0])
    ([{'image_id': 0, 'category_id': 1}], [0], ['a'])
    """
    img_sources: list[Iterable[Any]] = [list(map(_id, dataset["images"])), list(p.img_ids)]
    cat_sources: list[Iterable[Any]] = [list(map(_id, dataset["categories"])), list(p.cat_ids)]
    for img in dataset["images"]:
        for key in ("neg_category_ids", "not_exhaustive_category_ids"):
            if key in img:  # an empty source per image costs each evaluation of a large set
                cat_sources.append(img[key])
    img_types = set().union(*(map(type, s) for s in img_sources))
    cat_types = set().union(*(map(type, s) for s in cat_sources))
    sides = [gt_anns, dets]
    lists = [i for i, side in enumerate(sides) if isinstance(side, list)]
    for i in lists:
        if i == 1 and named is not None:
            img_sources.append(named.images)
            img_types |= named.image_types
            cat_types |= named.category_types
            continue
        img_sources.append(_image_ids(sides[i]))
        img_types |= set(map(type, map(_image_id_or_none, sides[i])))
        cats = list(map(_category_id_or_none, sides[i]))
        cat_sources.append(set(cats) - {None})  # None: no category, left to the engine
        cat_types |= set(map(type, cats)) - {type(None)}
    need_images, need_categories = not img_types <= {int}, not cat_types <= {int}
    if not (need_images or need_categories):
        return dataset, gt_anns, dets, None
    if 1 in lists and named is not None:
        cat_sources.append(set(map(_category_id_or_none, dets)) - {None})
    for i, side in enumerate(sides):
        if isinstance(side, _zerlin.CompactBbox):
            sides[i] = side = side.annotations()
            img_sources.append(set(map(_image_id, side)))
            cat_sources.append(set(map(_category_id, side)))
    maps = EngineIds(
        IdMap.of(v for s in img_sources for v in s) if need_images else None,
        IdMap.of(v for s in cat_sources for v in s) if need_categories else None,
    )
    im = maps.images.to_engine if maps.images else None
    cm = maps.categories.to_engine if maps.categories else None

    def ann(a: dict[str, Any]) -> dict[str, Any]:
        a = dict(a)
        if im is not None:
            a["image_id"] = im[a["image_id"]]
        if cm is not None and a.get("category_id") is not None:
            a["category_id"] = cm[a["category_id"]]
        return a

    def image(img: dict[str, Any]) -> dict[str, Any]:
        img = dict(img)
        if im is not None:
            img["id"] = im[img["id"]]
        if cm is not None:
            for key in ("neg_category_ids", "not_exhaustive_category_ids"):
                if key in img:
                    img[key] = [cm[c] for c in img[key]]
        return img

    mapped = dict(dataset)
    mapped["images"] = [image(img) for img in dataset["images"]]
    if cm is not None:
        mapped["categories"] = [dict(c, id=cm[c["id"]]) for c in dataset["categories"]]
        p.cat_ids = [cm[c] for c in p.cat_ids]
    if im is not None:
        p.img_ids = [im[i] for i in p.img_ids]
    return mapped, [ann(a) for a in sides[0]], [ann(d) for d in sides[1]], maps
