"""compat COCOeval across processes: evaluators pickled as compact states and
merged in rank order give what pycocotools gives on all results at once."""

import copy
import itertools
import json
import multiprocessing
import pickle

import numpy as np
import pycocotools.coco
import pycocotools.cocoeval
import pytest

from compat_oracle import GT_FILE, RESULT_FILES, no_times, quiet, random_case, run
from vantorel import compat


def rank_evaluator(args):
    """One rank: its own COCO, its part of the results in the form given, an
    evaluator returned (so pickled) to the parent."""
    gt_path, part, form, iou_type = args
    gt, _ = quiet(compat.COCO, gt_path)
    if form == "array":
        part = np.array([[d["image_id"], *d["bbox"], d["score"], d["category_id"]] for d in part])
    ev, _ = quiet(lambda: compat.COCOeval(gt, gt.loadRes(part), iou_type))
    return ev


@pytest.fixture(scope="module")
def pool():
    with multiprocessing.get_context("spawn").Pool(2) as p:
        yield p


def with_boxes_but_first(seed, iou_type):
    """Mask or keypoint results that carry a box, all but the first: loadRes
    of all of them takes areas from the masks or keypoints, while a rank
    whose first result has a box would, alone, take them from its boxes."""
    gt, res = random_case(seed, iou_type)
    rng = np.random.default_rng(seed)
    for d in res[1:]:
        d["bbox"] = rng.uniform(1, 200, 4).tolist()
    return gt, res


def case(source, iou_type, tmp_path):
    if source == "file":
        return str(GT_FILE), json.loads(RESULT_FILES[iou_type].read_text())
    gt, res = with_boxes_but_first(source, iou_type[:-4]) if "+box" in iou_type else random_case(source, iou_type)
    path = tmp_path / "gt.json"
    path.write_text(json.dumps(gt))
    return str(path), res


def evaluated(E):
    E.evaluate()
    E.accumulate()
    E.summarize()
    return E


@pytest.mark.parametrize(
    "source,iou_type,forms",
    [
        ("file", "bbox", ("dicts", "array")),
        ("file", "segm", ("dicts", "dicts")),
        (40, "bbox", ("array", "file")),
        (41, "segm", ("dicts", "dicts")),
        (42, "segm+box", ("dicts", "dicts")),
        (43, "keypoints", ("dicts", "dicts")),
        (44, "keypoints+box", ("dicts", "dicts")),
    ],
)
def test_ranks_merged_equal_pycocotools_on_all_results(source, iou_type, forms, pool, tmp_path):
    gt_path, res = case(source, iou_type, tmp_path)
    iou_type = iou_type.replace("+box", "")
    # Three ranks; the cuts fall inside an image's results.
    cuts = [0, len(res) // 3 + 1, 2 * len(res) // 3 - 1, len(res)]
    parts = [copy.deepcopy(res[a:b]) for a, b in itertools.pairwise(cuts)]
    for k, form in enumerate(forms, 1):
        if form == "file":
            (tmp_path / f"rank{k}.json").write_text(json.dumps(parts[k]))
            parts[k] = str(tmp_path / f"rank{k}.json")
    gathered = pool.map(rank_evaluator, [(gt_path, p, f, iou_type) for p, f in zip(parts[1:], forms)])
    mine = rank_evaluator((gt_path, parts[0], "dicts", iou_type))
    want, want_text = run((pycocotools.coco.COCO, pycocotools.cocoeval.COCOeval), gt_path, res, iou_type)
    unpickled = pickle.loads(pickle.dumps(mine))  # as all_gather_object gives rank 0 its own
    got, got_text = quiet(lambda: evaluated(mine.merge(*gathered)))
    for E in (got, quiet(lambda: evaluated(unpickled.merge(*gathered)))[0]):
        np.testing.assert_array_equal(E.stats, want.stats)
        for key in ("precision", "recall", "scores"):
            np.testing.assert_array_equal(E.eval[key], want.eval[key], err_msg=key)
    # The unpickled evaluator's ground truth came from its file.
    assert unpickled.cocoGt._path == gt_path and len(unpickled.cocoDt.getAnnIds()) == len(res)
    # The lines of evaluate/accumulate/summarize, times aside.
    assert no_times(got_text) == want_text[want_text.index("Running per image") :]


def test_pickle_is_compact_and_keeps_caller_records():
    res = json.loads(RESULT_FILES["bbox"].read_text())
    E = rank_evaluator((str(GT_FILE), res, "dicts", "bbox"))
    fixed = len(pickle.dumps(rank_evaluator((str(GT_FILE), [], "dicts", "bbox"))))
    assert len(pickle.dumps(E)) - fixed <= 56 * len(res) + 16  # 56 bytes a detection, a few of framing
    # evalImgs a caller assigned (torchvision's re-injection) travel with the
    # evaluator and accumulate as they did; the engine's own are made again.
    empty = rank_evaluator((str(GT_FILE), [], "dicts", "bbox"))
    quiet(E.evaluate)
    quiet(empty.evaluate)  # its params now hold NumPy ids, as the reference's do
    records = E.evalImgs
    assert len(pickle.dumps(E)) - len(pickle.dumps(empty)) <= 56 * len(res) + 16
    E.evalImgs = records[: len(records) // 2] + [None] * (len(records) - len(records) // 2)
    quiet(E.accumulate)
    again = pickle.loads(pickle.dumps(E))
    quiet(again.accumulate)
    np.testing.assert_array_equal(again.eval["precision"], E.eval["precision"])


def test_pickled_evaluator_with_altered_params_is_refused():
    E = rank_evaluator((str(GT_FILE), json.loads(RESULT_FILES["bbox"].read_text())[:50], "dicts", "bbox"))
    restore, (cls, payload) = E.__reduce_ex__(4)
    payload["params"].maxDets = [1, 10, 50]
    with pytest.raises(ValueError, match="params do not match"):
        restore(cls, payload)


def restricted(E):
    E.params.imgIds = E.params.imgIds[:50]
    return E


def other_gt_evaluator():
    gt = json.loads(GT_FILE.read_text())
    gt["annotations"] = gt["annotations"][1:]
    coco, _ = quiet(compat.COCO, gt)
    return quiet(lambda: compat.COCOeval(coco, coco.loadRes(json.loads(RESULT_FILES["bbox"].read_text())), "bbox"))[0]


def hand_built_results():
    coco, _ = quiet(compat.COCO, str(GT_FILE))
    dt = compat.COCO()
    dt.dataset = {"images": coco.dataset["images"], "categories": coco.dataset["categories"], "annotations": []}
    return compat.COCOeval(coco, dt, "bbox")


def segm_results_for_boxes():
    """Mask results evaluated as boxes: loadRes derives their boxes, which a
    box state does not keep."""
    coco, _ = quiet(compat.COCO, str(GT_FILE))
    res = json.loads(RESULT_FILES["segm"].read_text())
    return quiet(lambda: compat.COCOeval(coco, coco.loadRes(res), "bbox"))[0]


@pytest.mark.parametrize(
    "make,error,match",
    [
        (
            lambda: restricted(rank_evaluator((str(GT_FILE), [], "dicts", "bbox"))),
            ValueError,
            "params differ in imgIds",
        ),
        (lambda: rank_evaluator((str(GT_FILE), [], "dicts", "segm")), ValueError, "params differ in iouType"),
        (other_gt_evaluator, ValueError, "other ground truth"),
        (hand_built_results, ValueError, "not made by vantorel.compat's COCO.loadRes"),
        (segm_results_for_boxes, ValueError, "completed as segm results"),
        (lambda: object(), TypeError, "argument 1 is a object"),
    ],
)
def test_refused_merges_change_nothing(make, error, match):
    res = json.loads(RESULT_FILES["bbox"].read_text())
    E = rank_evaluator((str(GT_FILE), res[:10], "dicts", "bbox"))
    dt = E.cocoDt
    assert copy.copy(E).cocoGt is E.cocoGt  # copies keep members, unlike the pickled form
    with pytest.raises(error, match=match):
        E.merge(rank_evaluator((str(GT_FILE), res[10:20], "dicts", "bbox")), make())
    assert E.cocoDt is dt and len(dt.getAnnIds()) == 10


def test_streaming_state_and_detached_evaluators():
    res = json.loads(RESULT_FILES["segm"].read_text())
    gt_dict = json.loads(GT_FILE.read_text())
    coco, _ = quiet(compat.COCO, gt_dict)
    E, _ = quiet(lambda: compat.COCOeval(coco, coco.loadRes(copy.deepcopy(res)), "segm"))
    state = E.streaming_state()
    want, _ = run((pycocotools.coco.COCO, pycocotools.cocoeval.COCOeval), str(GT_FILE), res, "segm")
    np.testing.assert_array_equal(state.compute().stats, want.stats)
    detached = pickle.loads(pickle.dumps(E))  # ground truth from a dict: not carried
    assert detached.cocoGt is None
    with pytest.raises(ValueError, match="came without its ground truth"):
        detached.evaluate()
    with pytest.raises(ValueError, match="has no ground truth"):
        detached.streaming_state()
    E2, _ = quiet(lambda: compat.COCOeval(coco, coco.loadRes([]), "segm"))
    np.testing.assert_array_equal(quiet(lambda: evaluated(E2.merge(detached)))[0].stats, want.stats)
    np.testing.assert_array_equal(E2.streaming_state().compute().stats, want.stats)  # a merged one's state
