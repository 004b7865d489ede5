"""index_annotations and prepare_bbox_results against plain Python loops."""

import collections.abc
import json
from pathlib import Path

import numpy as np
import pytest

from vantorel._zerlin import index_annotations, prepare_bbox_results

DATA = Path(__file__).resolve().parent.parent / "data"


def py_index(anns, with_categories):
    by_id, by_image, by_cat = {}, {}, {}
    for a in anns:
        by_image.setdefault(a["image_id"], []).append(a)
        by_id[a["id"]] = a
        if with_categories:
            by_cat.setdefault(a["category_id"], []).append(a["image_id"])
    return by_id, by_image, by_cat


def py_prepare(anns):
    for i, a in enumerate(anns):
        b = a["bbox"]
        a["area"] = b[2] * b[3]
        a["id"] = i + 1
        a["iscrowd"] = 0


def same_index(got, want):
    for g, w in zip(got, want):
        assert list(g) == list(w)
        for key in w:
            if isinstance(w[key], list):
                assert len(g[key]) == len(w[key])
                assert all(x is y for x, y in zip(g[key], w[key]))  # no copies
            else:
                assert g[key] is w[key]


@pytest.fixture(scope="module")
def coco_anns():
    with open(DATA / "instances_val2014_100.json") as f:
        return json.load(f)["annotations"]


@pytest.mark.parametrize("with_categories", [True, False])
def test_index_matches_python_on_real_data(coco_anns, with_categories):
    got = index_annotations(coco_anns, with_categories)
    assert isinstance(got, tuple) and len(got) == 3
    same_index(got, py_index(coco_anns, with_categories))
    if not with_categories:
        assert got[2] == {}


@pytest.mark.parametrize("seed", range(5))
def test_index_matches_python_on_random_data(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 300))
    anns = [
        {"id": int(rng.integers(0, 50)), "image_id": int(rng.integers(0, 10)), "category_id": int(rng.integers(0, 4))}
        for _ in range(n)
    ]
    same_index(index_annotations(anns, True), py_index(anns, True))


class SubDict(dict):
    def __missing__(self, key):  # item access on a dict subclass goes through __getitem__
        return -7


class Mapping(collections.abc.Mapping):
    def __init__(self, **kw):
        self._d = dict(kw)

    def __getitem__(self, k):
        return self._d[k]

    def __iter__(self):
        return iter(self._d)

    def __len__(self):
        return len(self._d)


def test_index_accepts_dict_subclasses_and_mappings():
    anns = [
        SubDict(id=1, image_id=5),
        Mapping(id=2, image_id=5, category_id=3),
        {"id": 3, "image_id": 6, "category_id": 3},
    ]
    got = index_annotations(anns, True)
    want = py_index(anns, True)
    same_index(got, want)
    assert got[2] == {-7: [5], 3: [5, 6]}


def test_duplicate_ids_keep_first_position_and_last_annotation():
    anns = [{"id": 1, "image_id": 1}, {"id": 2, "image_id": 1}, {"id": 1, "image_id": 2}]
    by_id, by_image, _ = index_annotations(anns, False)
    assert list(by_id) == [1, 2] and by_id[1] is anns[2]
    assert [len(v) for v in by_image.values()] == [2, 1]


class Shrinking(dict):
    """Deletes the tail of its list when read, as another thread might."""

    owner = None

    def __getitem__(self, key):
        if key == "image_id" and self.owner is not None and len(self.owner) > 2:
            del self.owner[2:]
        return super().__getitem__(key)


class Growing(dict):
    owner = None

    def __getitem__(self, key):
        if key == "image_id" and self.owner is not None:
            self.owner.append({"id": 99, "image_id": 0, "bbox": [0, 0, 1, 1]})
        return super().__getitem__(key)


def test_list_shortened_during_loop_ends_it():
    anns = [Shrinking(id=i, image_id=i, category_id=0) for i in range(5)]
    anns[0].owner = anns
    by_id, _, _ = index_annotations(anns, True)
    assert list(by_id) == [0, 1]


def test_items_appended_during_loop_are_not_visited():
    anns = [Growing(id=i, image_id=i, category_id=0, bbox=[0, 0, 2, 3]) for i in range(3)]
    for a in anns:
        a.owner = anns
    by_id, _, _ = index_annotations(anns, False)
    assert list(by_id) == [0, 1, 2]
    assert len(anns) == 6
    anns = [Growing(id=i, image_id=i, bbox=[0, 0, 2, 3]) for i in range(3)]
    anns[0].owner = anns  # prepare reads "bbox" not "image_id", so nothing grows here
    prepare_bbox_results(anns)
    assert [a["id"] for a in anns] == [1, 2, 3]


@pytest.mark.parametrize(
    "anns,error",
    [
        ([{"id": 1}], KeyError),
        ([{"image_id": 1}], KeyError),
        ([{"image_id": 1, "id": 1}], KeyError),  # with_categories needs category_id
        ([5], TypeError),
    ],
)
def test_index_errors_propagate(anns, error):
    with pytest.raises(error):
        index_annotations(anns, True)


@pytest.mark.parametrize(
    "arg,kind,note",
    [(({},), "'dict' object is not an instance of 'list'", "annotations"), (((), 1), None, "with_categories")],
)
def test_index_argument_errors(arg, kind, note):
    args = arg if len(arg) == 2 else (arg[0], True)
    if note == "with_categories":
        args = ([], 1)
    with pytest.raises(TypeError) as info:
        index_annotations(*args)
    if kind:
        assert str(info.value) == kind
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_prepare_matches_python_on_real_results():
    with open(DATA / "instances_val2014_fakebbox100_results.json") as f:
        dets = json.load(f)
    mine = [dict(d) for d in dets]
    ref = [dict(d) for d in dets]
    prepare_bbox_results(mine)
    py_prepare(ref)
    assert mine == ref
    for m, r in zip(mine, ref):
        assert type(m["area"]) is type(r["area"])


@pytest.mark.parametrize(
    "bbox,area",
    [
        ([1, 2, 3, 4], 12),
        ([1.0, 2.0, 3.0, 4.0], 12.0),
        ((0, 0, 2, 5), 10),
        (np.array([0, 0, 1.5, 2.0]), np.float64(3.0)),
    ],
)
def test_prepare_keeps_python_arithmetic(bbox, area):
    anns = [{"bbox": bbox, "area": "old", "id": 77, "iscrowd": 1, "score": 0.5}]
    prepare_bbox_results(anns)
    a = anns[0]
    assert a["area"] == area and type(a["area"]) is type(area)
    assert a["id"] == 1 and a["iscrowd"] == 0 and a["score"] == 0.5
    assert list(a) == ["bbox", "area", "id", "iscrowd", "score"]


def test_prepare_failure_keeps_earlier_work():
    anns = [{"bbox": [0, 0, 1, 1]}, {"no": 1}, {"bbox": [0, 0, 2, 2]}]
    with pytest.raises(KeyError) as info:
        prepare_bbox_results(anns)
    assert info.value.args == ("bbox",)
    assert anns[0] == {"bbox": [0, 0, 1, 1], "area": 1, "id": 1, "iscrowd": 0}
    assert anns[2] == {"bbox": [0, 0, 2, 2]}
    with pytest.raises(IndexError):
        prepare_bbox_results([{"bbox": [1, 2]}])
    with pytest.raises(TypeError):
        prepare_bbox_results([{"bbox": [0, 0, "a", "b"]}])


def test_empty_inputs():
    assert index_annotations([], True) == ({}, {}, {})
    assert prepare_bbox_results([]) is None


@pytest.mark.parametrize(
    "image_ids",
    [
        [1, 2, 1.0, True, 2, "2", 2**70, 2**70, -1, 1],  # equal keys of other kinds join the int's list
        [3, 3, 4, 3, 4, 5],  # ints only
        ["a", 1, "a", 1.0],  # a non-int first
    ],
)
def test_image_lists_follow_dict_key_equality(image_ids):
    anns = [{"id": i, "image_id": img, "category_id": img} for i, img in enumerate(image_ids)]
    got = index_annotations(anns, True)
    want = py_index(anns, True)
    same_index(got, want)
    for g, w in zip(got[1:], want[1:]):
        assert [type(k) for k in g] == [type(k) for k in w]  # the first key object seen is kept
