"""Runs the same COCO evaluation through vantorel.compat and through pycocotools
and compares what a caller can see: values, types, shapes and printed text."""

import contextlib
import copy
import io
import re
from pathlib import Path

import numpy as np
import pycocotools.coco
import pycocotools.cocoeval
import pycocotools.mask

import evalgen
from vantorel.compat import coco as ours_coco
from vantorel.compat import cocoeval as ours_eval

DATA = Path(__file__).resolve().parent.parent / "data"
GT_FILE = DATA / "instances_val2014_100.json"
RESULT_FILES = {
    "bbox": DATA / "instances_val2014_fakebbox100_results.json",
    "segm": DATA / "instances_val2014_fakesegm100_results.json",
}

OURS = (ours_coco.COCO, ours_eval.COCOeval)
REF = (pycocotools.coco.COCO, pycocotools.cocoeval.COCOeval)


def quiet(fn, *args):
    """fn(*args) and what it printed."""
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        out = fn(*args)
    return out, buf.getvalue()


def no_times(text):
    return re.sub(r"t=\d+\.\d+s", "t=_s", text)


def random_case(seed, iou_type):
    """(gt dict, results list) of the seeded generator; mask results are RLEs."""
    kp = iou_type == "keypoints"
    gt = evalgen.dataset(seed, keypoints=kp)
    res = evalgen.results(seed + 1, gt, keypoints=kp)
    if iou_type == "segm":
        gt, res = evalgen.with_segmentation(seed + 2, gt, res)
        size = {im["id"]: (im["height"], im["width"]) for im in gt["images"]}
        for d in res:
            h, w = size[d["image_id"]]
            d["segmentation"] = pycocotools.mask.merge(pycocotools.mask.frPyObjects(d["segmentation"], h, w))
    return gt, res


def load(impl, gt, res):
    """Ground truth from a path or a dict (each implementation gets its own
    copy, since the reference writes into what it is given) and its results."""
    COCO = impl[0]
    if isinstance(gt, (str, Path)):
        g = COCO(str(gt))
    else:
        g = COCO()
        g.dataset = copy.deepcopy(gt)
        g.createIndex()
    r = g.loadRes(str(res) if isinstance(res, Path) else copy.deepcopy(res))
    return g, r


def run(impl, gt, res, iou_type, configure=None):
    """(COCOeval after evaluate/accumulate/summarize, printed text)."""

    def go():
        g, r = load(impl, gt, res)
        E = impl[1](g, r, iou_type)
        if configure:
            configure(E)
        E.evaluate()
        E.accumulate()
        E.summarize()
        return E

    E, text = quiet(go)
    return E, no_times(text)


def assert_same_arrays(a, b):
    for key in ("precision", "recall", "scores"):
        assert a[key].shape == b[key].shape and a[key].dtype == b[key].dtype, key
        np.testing.assert_array_equal(a[key], b[key], err_msg=key)
    assert a["counts"] == b["counts"]


def assert_same_value(x, y, where, strides=False):
    assert type(x) is type(y), (where, type(x), type(y))
    if isinstance(y, np.ndarray):
        assert x.dtype == y.dtype and x.shape == y.shape, (where, x.dtype, y.dtype, x.shape, y.shape)
        assert not strides or x.strides == y.strides, (where, x.strides, y.strides)
        np.testing.assert_array_equal(x, y, err_msg=where)
    elif isinstance(y, dict):
        assert list(x) == list(y), where
        for k in y:
            assert_same_value(x[k], y[k], f"{where}[{k!r}]", strides)
    elif isinstance(y, (list, tuple)):
        assert len(x) == len(y), where
        for i, (u, v) in enumerate(zip(x, y)):
            assert_same_value(u, v, f"{where}[{i}]", strides)
    else:
        assert x == y, (where, x, y)


def assert_same_eval_imgs(a, b):
    assert len(a) == len(b)
    for n, (x, y) in enumerate(zip(a, b)):
        assert_same_value(x, y, f"evalImgs[{n}]", strides=True)

    # Lists and arrays shared between records where the reference's are:
    # changing one record's must change the same others.
    def distinct_mutables(records):
        return len({id(v) for e in records if e for v in e.values() if isinstance(v, (list, np.ndarray))})

    assert distinct_mutables(a) == distinct_mutables(b)
