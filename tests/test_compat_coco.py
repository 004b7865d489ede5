"""vantorel.compat.coco and .mask against pycocotools: attributes, queries,
derived result fields, messages; and the import hooks."""

import copy
import json
import pickle
import subprocess
import sys

import numpy as np
import pycocotools.coco
import pycocotools.cocoeval
import pycocotools.mask
import pytest

from compat_oracle import (
    GT_FILE,
    RESULT_FILES,
    assert_same_value,
    no_times,
    quiet,
    random_case,
)
from vantorel.compat import mask
from vantorel.compat.coco import COCO


@pytest.fixture(scope="module")
def pair():
    ours, ours_text = quiet(COCO, str(GT_FILE))
    ref, ref_text = quiet(pycocotools.coco.COCO, str(GT_FILE))
    assert no_times(ours_text) == no_times(ref_text)
    return ours, ref


def test_index_matches_reference(pair):
    ours, ref = pair
    for name in ("dataset", "anns", "imgs", "cats", "imgToAnns", "catToImgs"):
        assert type(getattr(ours, name)) is type(getattr(ref, name)), name
        assert getattr(ours, name) == getattr(ref, name), name
        assert list(getattr(ours, name)) == list(getattr(ref, name)), name


QUERIES = [
    ("getAnnIds", (), {}),
    ("getAnnIds", ([42, 73],), {}),
    ("getAnnIds", (74,), {"iscrowd": 0}),
    ("getAnnIds", ([], [1, 3]), {}),
    ("getAnnIds", ([42, 74, 999], [1], [100, 5000]), {}),
    ("getAnnIds", (), {"areaRng": [0, 1000], "iscrowd": 1}),
    ("getCatIds", (), {}),
    ("getCatIds", ("person",), {}),
    ("getCatIds", ([], ["vehicle", "animal"]), {}),
    ("getCatIds", (["dog", "cat", "car"], "animal", [17, 3])),
    ("getImgIds", (), {}),
    ("getImgIds", ([42, 73, 1000000],), {}),
    ("getImgIds", ([], [1, 3]), {}),
    ("getImgIds", ([], 1), {}),
    ("getImgIds", ([74, 42], [1]), {}),
    ("loadCats", ([1, 3],), {}),
    ("loadImgs", (42,), {}),
    ("loadAnns", ([1817255],), {}),
]


@pytest.mark.parametrize("name,args,kwargs", [q if len(q) == 3 else (*q, {}) for q in QUERIES])
def test_queries_match_reference(pair, name, args, kwargs):
    ours, ref = pair
    got, want = getattr(ours, name)(*args, **kwargs), getattr(ref, name)(*args, **kwargs)
    assert_same_value(
        sorted(got, key=repr) if name == "getImgIds" else got,
        sorted(want, key=repr) if name == "getImgIds" else want,
        name,
    )


def test_masks_of_annotations_match_reference(pair):
    ours, ref = pair
    for ann in ref.dataset["annotations"][:60]:
        assert_same_value(ours.annToRLE(ours.anns[ann["id"]]), ref.annToRLE(ann), "annToRLE")
        assert_same_value(ours.annToMask(ours.anns[ann["id"]]), ref.annToMask(ann), "annToMask")


def _results_inputs():
    _, boxes = random_case(11, "bbox")
    _, kps = random_case(12, "keypoints")
    _, segms = random_case(13, "segm")
    arr = np.array([[d["image_id"], *d["bbox"], d["score"], d["category_id"]] for d in boxes[:50]])
    return [
        ("bbox file", RESULT_FILES["bbox"]),
        ("segm file", RESULT_FILES["segm"]),
        ("bbox list", boxes),
        ("segm list", segms),
        ("keypoints list", kps),
        ("array", arr),
        ("array f32", arr.astype(np.float32)),
        ("int array", arr.astype(np.int64)),
    ]


@pytest.mark.parametrize("label,results", _results_inputs())
def test_load_res_matches_reference(label, results):
    """Same derived fields (values and types), same printed lines, whatever
    the form of the results; loadRes also works unbound."""
    gt_source = (
        json.loads(GT_FILE.read_text())
        if "file" in label
        else random_case(
            {"bbox list": 11, "array": 11, "array f32": 11, "int array": 11, "keypoints list": 12, "segm list": 13}[
                label
            ],
            label.split()[0] if "list" in label else "bbox",
        )[0]
    )
    out = []
    for COCO_ in (COCO, pycocotools.coco.COCO):

        def load(COCO_=COCO_):
            gt = COCO_()
            gt.dataset = copy.deepcopy(gt_source)
            gt.createIndex()
            arg = str(results) if "file" in label else results if "array" in label else copy.deepcopy(results)
            return COCO_.loadRes(gt, arg)

        out.append(quiet(load))
    (ours, ours_text), (ref, ref_text) = out
    assert no_times(ours_text) == no_times(ref_text)
    assert_same_value(ours.dataset, ref.dataset, "dataset")
    assert_same_value(ours.anns, ref.anns, "anns")
    assert_same_value(dict(ours.imgToAnns), dict(ref.imgToAnns), "imgToAnns")
    assert_same_value(dict(ours.catToImgs), dict(ref.catToImgs), "catToImgs")


def test_load_res_refuses_unknown_images(pair):
    ours, ref = pair
    bad = [{"image_id": 123456789, "bbox": [1, 2, 3, 4], "score": 0.5, "category_id": 1}]
    for coco in (ours, ref):
        with pytest.raises(AssertionError, match="do not correspond"):
            quiet(coco.loadRes, copy.deepcopy(bad))
    with pytest.raises(AssertionError, match="do not correspond"):
        quiet(ours.loadRes, np.array([[123456789, 1, 2, 3, 4, 0.5, 1]]))


@pytest.mark.parametrize("change", [{"image_id": 123456789}, {"id": 7}, {"area": 0.5}, {"iscrowd": 1}, {"score": None}])
@pytest.mark.parametrize("interned", [False, True])
def test_load_res_checks_every_result(pair, change, interned):
    """A result unlike the others at the end of the list: refused, or its
    fields overwritten, as by the reference (keys as json makes them, or
    interned as Python source makes them)."""
    results = json.loads(RESULT_FILES["bbox"].read_text())[:50]
    if interned:
        results = [{sys.intern(k): v for k, v in r.items()} for r in results]
    results[-1] = dict(results[-1], **change)
    outcomes = []
    for coco in pair:
        try:
            outcomes.append(quiet(coco.loadRes, copy.deepcopy(results))[0].anns)
        except (AssertionError, TypeError) as err:
            outcomes.append(type(err))
    if change.get("score", 0) is None:  # the reference fails later, in evaluate()
        assert outcomes[0] is TypeError
    else:
        assert_same_value(outcomes[0], outcomes[1], "anns")


def test_load_res_of_nothing():
    """The reference fails with IndexError on an empty list; an empty result
    set is what a batch without detections should give."""
    ours, _ = quiet(COCO, str(GT_FILE))
    res, _ = quiet(ours.loadRes, [])
    assert res.dataset["annotations"] == [] and res.getAnnIds() == [] and res.cats == ours.cats
    with pytest.raises(IndexError):
        quiet(pycocotools.coco.COCO(str(GT_FILE)).loadRes, [])


def test_constructors():
    data = json.loads(GT_FILE.read_text())
    from_dict, _ = quiet(COCO, copy.deepcopy(data))
    empty = COCO()
    assert (empty.dataset, empty.anns, empty.imgs) == ({}, {}, {})
    from_file, _ = quiet(COCO, GT_FILE)
    assert from_dict.dataset == from_file.dataset == data and from_dict.anns == from_file.anns


def test_bad_files_name_the_file(tmp_path):
    broken = tmp_path / "broken.json"
    broken.write_text('{"images": [}')
    with pytest.raises(ValueError) as err:
        quiet(COCO, broken)
    assert str(broken) in "".join(getattr(err.value, "__notes__", []))
    listed = tmp_path / "list.json"
    listed.write_text("[]")
    with pytest.raises(AssertionError, match="not supported"):
        quiet(COCO, listed)


MASKS = np.random.default_rng(5).integers(0, 2, (7, 9, 3)).astype(np.uint8)


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.encode(np.asfortranarray(MASKS)),
        lambda m: m.encode(np.asfortranarray(MASKS[:, :, 1])),
        lambda m: m.decode(m.encode(np.asfortranarray(MASKS))),
        lambda m: m.decode(m.encode(np.asfortranarray(MASKS))[0]),
        lambda m: m.area(m.encode(np.asfortranarray(MASKS))),
        lambda m: m.area(m.encode(np.asfortranarray(MASKS))[2]),
        lambda m: m.toBbox(m.encode(np.asfortranarray(MASKS))),
        lambda m: m.toBbox(m.encode(np.asfortranarray(MASKS))[2]),
        lambda m: m.merge(m.encode(np.asfortranarray(MASKS))),
        lambda m: m.merge(m.encode(np.asfortranarray(MASKS)), intersect=1),
        lambda m: m.iou(m.encode(np.asfortranarray(MASKS)), m.encode(np.asfortranarray(MASKS[:, :, :2])), [0, 1]),
        lambda m: m.iou([[0, 0, 5, 5], [2, 2, 4, 4]], np.array([[1.0, 1, 3, 3]]), [1]),
        lambda m: m.frPyObjects([[1, 1, 6, 1, 6, 5]], 7, 9),
        lambda m: m.frPyObjects(np.array([[0.0, 0, 4, 4], [1, 2, 3, 3]]), 7, 9),
        lambda m: m.frPyObjects({"size": [7, 9], "counts": [5, 10, 48]}, 7, 9),
    ],
)
def test_mask_functions_match_reference(call):
    assert_same_value(call(mask), call(pycocotools.mask), "mask")


def test_encode_takes_any_layout():
    """The reference takes only Fortran-ordered arrays; any layout is fine here."""
    assert mask.encode(np.ascontiguousarray(MASKS)) == pycocotools.mask.encode(np.asfortranarray(MASKS))


def test_install_as_pycocotools():
    code = """
import vantorel.compat as c
c.install_as_pycocotools()
import pycocotools
from pycocotools.coco import COCO
from pycocotools.cocoeval import COCOeval, Params, COCOeval_opt
from pycocotools import mask
import pycocotools.mask as mask2
import pycocotools._mask as raw
print(COCO.__module__, COCOeval.__module__, mask.__name__, mask2 is mask, raw.area is c.mask._zerlin.area,
      COCOeval_opt is COCOeval, pycocotools.cocoeval.COCOeval is COCOeval)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    assert out == [
        "vantorel.compat.coco",
        "vantorel.compat.cocoeval",
        "vantorel.compat.mask",
        "True",
        "True",
        "True",
        "True",
    ]


def test_load_by_numpy_id(pair):
    """The reference returns None for a NumPy integer id (ids read from arrays
    are such); here it is the item in a list, as for a Python int."""
    ours, ref = pair
    ann_id = ref.dataset["annotations"][0]["id"]
    assert ours.loadAnns(np.int64(ann_id)) == ref.loadAnns(ann_id)
    assert ref.loadAnns(np.int64(ann_id)) is None


@pytest.mark.parametrize("how", ["deepcopy", "pickle"])
def test_copies_of_objects_still_held_compactly(how):
    """Copied or pickled before anyone read their dicts (the reference's
    objects are plain dicts, so callers copy them freely): the copies hold the
    reference's data and evaluate to its numbers."""
    from vantorel.compat.cocoeval import COCOeval

    clone = copy.deepcopy if how == "deepcopy" else lambda o: pickle.loads(pickle.dumps(o))
    gt, _ = quiet(COCO, str(GT_FILE))
    dt, _ = quiet(gt.loadRes, str(RESULT_FILES["bbox"]))
    gt2, dt2 = clone(gt), clone(dt)
    ref_gt, _ = quiet(pycocotools.coco.COCO, str(GT_FILE))
    ref_dt, _ = quiet(ref_gt.loadRes, str(RESULT_FILES["bbox"]))
    assert_same_value(gt2.dataset, ref_gt.dataset, "dataset")
    assert_same_value(dt2.anns, ref_dt.anns, "anns")

    def stats(E):
        E.evaluate()
        E.accumulate()
        E.summarize()
        return E.stats

    ours, _ = quiet(stats, COCOeval(gt2, dt2, "bbox"))
    ref, _ = quiet(stats, pycocotools.cocoeval.COCOeval(ref_gt, ref_dt, "bbox"))
    np.testing.assert_array_equal(ours, ref)
