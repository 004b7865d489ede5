"""Streaming evaluation: any split of the results into batches, states merged
across processes or pickled give exactly what one-shot evaluate gives."""

import hashlib
import json
import multiprocessing
import pickle
import random
import shutil
import struct
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import evalgen
from vantorel import Params, StreamingEvaluator, _zerlin, evaluate

DATA = Path(__file__).resolve().parent.parent / "data"
GT = DATA / "instances_val2014_100.json"
LVIS_GT = DATA / "lvis_val_100.json"
RESULTS = {
    "bbox": DATA / "instances_val2014_fakebbox100_results.json",
    "segm": DATA / "instances_val2014_fakesegm100_results.json",
}


def load(path):
    with open(path) as f:
        return json.load(f)


def assert_same(got, want):
    for name in ("precision", "recall", "scores", "stats"):
        np.testing.assert_array_equal(getattr(got, name), getattr(want, name), err_msg=name)


def cuts(n, rng, parts):
    """Random cut points splitting range(n) into up to parts + 1 runs."""
    inner = sorted(rng.sample(range(1, n), min(parts, max(n - 1, 0)))) if n > 1 else []
    return list(zip([0, *inner], [*inner, n]))


def image_runs(dets, rng):
    """Runs of consecutive results of one image, each image split at random
    into several runs now and then."""
    runs, start = [], 0
    for k in range(1, len(dets) + 1):
        if k == len(dets) or dets[k]["image_id"] != dets[start]["image_id"]:
            for a, b in cuts(k - start, rng, rng.choice([0, 0, 1, 2])):
                runs.append((start + a, start + b))
            start = k
    return runs


def feed(ev, dets, form, rng):
    """Feeds dets in order as random batches of one form."""
    if form == "dicts":
        for a, b in cuts(len(dets), rng, 9):
            ev.update(dets[a:b])
    elif form == "array":
        rows = np.array([[d["image_id"], *d["bbox"], d["score"], d["category_id"]] for d in dets])
        for a, b in cuts(len(dets), rng, 9):
            ev.update(rows[a:b])
    else:  # one image's arrays per call
        for a, b in image_runs(dets, rng):
            part = dets[a:b]
            kwargs = {
                "image_id": part[0]["image_id"],
                "scores": [d["score"] for d in part],
                "labels": np.array([d["category_id"] for d in part]),
            }
            if "bbox" in part[0]:
                kwargs["boxes"] = np.array([d["bbox"] for d in part]).reshape(-1, 4)
            if "keypoints" in part[0]:
                kwargs["keypoints"] = np.array([d["keypoints"] for d in part]).reshape(len(part), -1, 3)
            if "segmentation" in part[0]:
                masks = [d["segmentation"] for d in part]
                kwargs["masks"] = np.moveaxis(_zerlin.decode(masks), -1, 0).astype(bool) if a % 2 else masks
            if form == "mapping":
                ev.update(kwargs)
            else:
                ev.update_image(**kwargs)


@pytest.fixture(scope="module")
def pycocotools_stats():
    cocoeval = pytest.importorskip("pycocotools.cocoeval")
    from pycocotools.coco import COCO

    out = {}
    gt = COCO(str(GT))
    for iou_type, path in RESULTS.items():
        ref = cocoeval.COCOeval(gt, gt.loadRes(str(path)), iou_type)
        ref.evaluate()
        ref.accumulate()
        ref.summarize()
        out[iou_type] = np.array(ref.stats)
    return out


@pytest.mark.parametrize(
    ("iou_type", "form"),
    [
        ("bbox", "dicts"),
        ("bbox", "array"),
        ("bbox", "images"),
        ("segm", "dicts"),
        ("segm", "images"),
        ("segm", "mapping"),
    ],
)
@pytest.mark.parametrize("seed", [0, 1])
def test_batches_equal_one_shot_and_pycocotools(iou_type, form, seed, pycocotools_stats):
    dets = load(RESULTS[iou_type])
    ev = StreamingEvaluator(GT, iou_type)
    feed(ev, dets, form, random.Random(seed))
    got = ev.compute()
    assert_same(got, evaluate(GT, dets, iou_type))
    np.testing.assert_array_equal(got.stats, pycocotools_stats[iou_type])
    assert_same(ev.compute(), got)  # compute keeps the state


def test_order_of_tied_scores_is_the_batch_order():
    """Ties are ranked by position within an image: every image split over
    two batches given in the other order changes the result, and the
    stream follows the order given."""
    dets = load(RESULTS["bbox"])
    for d in dets:
        d["score"] = round(d["score"], 1)
    seen, first, second = {}, [], []
    for d in dets:
        seen[d["image_id"]] = seen.get(d["image_id"], 0) + 1
        (first if seen[d["image_id"]] % 2 else second).append(d)
    ev = StreamingEvaluator(load(GT))
    ev.update(second)
    ev.update(first)
    assert_same(ev.compute(), evaluate(GT, second + first))
    assert not np.array_equal(evaluate(GT, first + second).precision, evaluate(GT, second + first).precision)


def rle_results(gt, res):
    """Polygon results as RLE dicts (streaming keeps masks as RLE)."""
    size = {im["id"]: (im["height"], im["width"]) for im in gt["images"]}
    for d in res:
        h, w = size[d["image_id"]]
        rle = _zerlin.merge(_zerlin.frPyObjects(d["segmentation"], h, w))
        d["segmentation"] = {"size": rle["size"], "counts": rle["counts"].decode()}
    return res


def generated(kind, seed):
    if kind == "keypoints":
        gt = evalgen.dataset(seed, keypoints=True)
        return gt, evalgen.results(seed, gt, keypoints=True), "keypoints", False
    if kind == "lvis":
        gt = load(LVIS_GT)
        return gt, evalgen.lvis_results(seed, gt), "bbox", True
    gt = evalgen.dataset(seed)
    gt, res = evalgen.with_segmentation(seed, gt, evalgen.results(seed, gt))
    return gt, rle_results(gt, res), kind, False


@pytest.mark.parametrize("kind", ["keypoints", "lvis", "segm", "boundary"])
@pytest.mark.parametrize("form", ["dicts", "images"])
def test_generated_data_in_random_batches(kind, form):
    gt, dets, iou_type, lvis = generated(kind, 3)
    ev = StreamingEvaluator(gt, iou_type, lvis=lvis)
    feed(ev, dets, form, random.Random(3))
    assert_same(ev.compute(), evaluate(gt, dets, iou_type, lvis=lvis))


def test_masks_missing_from_some_results():
    """Batches and merged states without any mask (their boxes are
    rasterised) between ones with masks: mask offsets must stay aligned."""
    dets = load(RESULTS["segm"])
    boxes = _zerlin.toBbox([d["segmentation"] for d in dets]).tolist()
    for k, d in enumerate(dets):
        d["bbox"] = boxes[k]
        if (k // 5) % 2:
            del d["segmentation"]
    half = len(dets) // 10 * 5  # states of five: every other one has no mask
    ev = StreamingEvaluator(GT, "segm")
    for a in range(0, half, 5):
        ev.update(dets[a : min(a + 5, half)])
    states = [StreamingEvaluator(GT, "segm") for _ in range(half, len(dets), 5)]
    for k, state in enumerate(states):
        state.update(dets[half + 5 * k : half + 5 * k + 5])
    assert_same(ev.merge(*states).compute(), evaluate(GT, dets, "segm"))


def test_ids_beyond_float_precision_and_other_inputs(tmp_path):
    gt = evalgen.dataset(5)
    dets = evalgen.results(5, gt)
    big = {im["id"]: 2**60 + im["id"] for im in gt["images"]}
    for item in gt["images"]:
        item["id"] = big[item["id"]]
    for item in gt["annotations"] + dets:
        item["image_id"] = big[item["image_id"]]
    ev = StreamingEvaluator(gt)
    ev.update(dets[:50])
    path = tmp_path / "r.json"
    path.write_text(json.dumps(dets[50:]))
    ev.update(path)
    assert_same(ev.compute(), evaluate(gt, dets))
    ev = StreamingEvaluator(GT)
    ev.update(_zerlin.load_compact_bbox(str(RESULTS["bbox"]), results=True)[1])
    assert_same(ev.compute(), evaluate(GT, RESULTS["bbox"]))


def _state_of_part(args):
    gt_path, dets, seed = args
    ev = StreamingEvaluator(gt_path)
    feed(ev, dets, "dicts", random.Random(seed))
    return ev  # pickled back to the parent


def test_merge_across_processes():
    dets = load(RESULTS["bbox"])
    parts = [dets[:200], dets[200:333], dets[333:]]  # image 4795 is split between the last two
    ev = StreamingEvaluator(load(GT))  # a dict here, a path in the workers: the same ground truth
    ev.update(parts[0])
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        states = pool.map(_state_of_part, [(str(GT), p, k) for k, p in enumerate(parts[1:])])
    assert all(isinstance(s, StreamingEvaluator) and s._gt is None for s in states)
    assert_same(ev.merge(*states).compute(), evaluate(GT, dets))
    ev.merge(ev)  # a state merged into itself: every result twice
    assert_same(ev.compute(), evaluate(GT, dets + dets))


def test_pickle_round_trip():
    dets = load(RESULTS["segm"])
    ev = StreamingEvaluator(GT, "segm")
    ev.update(dets)
    data = pickle.dumps(ev)
    restored = pickle.loads(data)
    assert len(restored) == len(ev) and restored.nbytes <= ev.nbytes
    assert_same(restored.compute(), evaluate(GT, dets, "segm"))  # its ground truth loads from the path
    boxes = StreamingEvaluator(GT)
    boxes.update(load(RESULTS["bbox"]))
    assert len(pickle.dumps(boxes)) < 56 * len(boxes) + 2000
    detached = pickle.loads(pickle.dumps(StreamingEvaluator(load(GT))))
    with pytest.raises(ValueError, match="came without its ground truth"):
        detached.compute()


def other_ground_truth():
    gt = load(GT)
    gt["annotations"] = gt["annotations"][1:]
    return gt


@pytest.mark.parametrize(
    ("make", "match"),
    [
        (lambda: StreamingEvaluator(other_ground_truth()), "other ground truth"),
        (lambda: StreamingEvaluator(GT, "segm"), "other evaluation parameters"),
        (lambda: StreamingEvaluator(GT, lvis=True), "other evaluation parameters"),
        (lambda: StreamingEvaluator(GT, params=Params(max_dets=[1, 10, 50])), "other evaluation parameters"),
    ],
)
def test_mismatched_states_are_refused(make, match):
    ev = StreamingEvaluator(GT)
    ev.update(load(RESULTS["bbox"])[:10])
    other = make()
    with pytest.raises(ValueError, match=match):
        ev.merge(StreamingEvaluator(GT), pickle.loads(pickle.dumps(other)))
    assert len(ev) == 10  # nothing merged, not even the compatible first state


@pytest.mark.parametrize(
    ("mangle", "match"),
    [
        (lambda b: b[:8] + (3).to_bytes(2, "little") + b[10:], "format 3 cannot be read"),
        (lambda b: b"X" + b[1:], "not a vantorel streaming state"),
        (lambda b: b[:-1], "checksum"),
        (lambda b: b[:14] + b"[" + b[15:], "checksum"),
    ],
)
def test_bad_state_bytes_are_refused(mangle, match):
    ev = StreamingEvaluator(GT)
    ev.update(load(RESULTS["bbox"])[:10])
    func, (data,) = ev.__reduce__()
    with pytest.raises(ValueError, match=match):
        func(mangle(data))


@pytest.mark.parametrize(
    ("batch", "error", "match"),
    [
        ([{"image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 1.0}], ValueError, "image 1,"),
        ([{"image_id": 42, "category_id": 1, "bbox": [0, 0, 1, 1]}], KeyError, "no 'score'"),
        ([{"image_id": 42.0, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 1}], TypeError, "must be an integer"),
        ([{"image_id": 42, "category_id": 1, "bbox": [0, 0, 1], "score": 1}], ValueError, "4 entries"),
        ([{"image_id": 42, "category_id": 1, "bbox": [0, 0, 1, 1], "score": "1"}], TypeError, "a number"),
        ({"image_id": 42, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 1.0}, TypeError, "in a list"),
        (np.zeros((2, 6)), ValueError, "7 columns"),
        (np.array([[np.nan, 0, 0, 1, 1, 1, 1]]), ValueError, "finite int64"),
        ({"image_id": 42, "scores": [1.0], "labels": [1]}, ValueError, "needs boxes"),
        (
            {"image_id": 42, "scores": [1.0, 0.5], "labels": [1], "boxes": [[0, 0, 1, 1]] * 2},
            ValueError,
            "labels has 1",
        ),
    ],
)
def test_a_failed_batch_changes_nothing(batch, error, match):
    ev = StreamingEvaluator(GT)
    ev.update(load(RESULTS["bbox"])[:10])
    with pytest.raises(error, match=match):
        ev.update(batch)
    assert len(ev) == 10


@pytest.mark.parametrize("iou_type", ["segm", "boundary"])
def test_polygon_masks_become_rle_at_their_image_size(iou_type):
    # Polygon results (the reference evaluation rasterises them at the image's
    # size) give what one whole evaluation of the same results gives.
    gt = load(GT)
    rng = np.random.default_rng(5)
    dets = []
    for img in gt["images"][:30]:
        for _ in range(3):
            x, y = rng.uniform(0, img["width"] - 60), rng.uniform(0, img["height"] - 60)
            w, h = rng.uniform(5, 60), rng.uniform(5, 60)
            poly = [x, y, x + w, y, x + rng.uniform(5, 60), y + h, x, y + 20]
            # With a box, as the reference loader requires of polygon results.
            dets.append(
                {
                    "image_id": img["id"],
                    "category_id": int(rng.choice([1, 3, 18])),
                    "bbox": [x, y, w, h],
                    "segmentation": [poly],
                    "score": float(rng.uniform()),
                }
            )
    ev = StreamingEvaluator(GT, iou_type)
    ev.update(dets[:40])
    ev.update(dets[40:])
    assert_same(ev.compute(), evaluate(GT, dets, iou_type))
    with pytest.raises(ValueError, match="image_id 99999999 has no image"):
        ev.update([{"image_id": 99999999, "category_id": 1, "segmentation": [[0, 0, 5, 0, 5, 5]], "score": 1}])
    assert len(ev) == len(dets)


def test_reset_and_ground_truth_objects():
    dets = load(RESULTS["bbox"])
    ev = StreamingEvaluator(SimpleNamespace(dataset=load(GT)))  # as a COCO API object carries it
    ev.update(dets)
    ev.reset()
    assert len(ev) == 0
    assert_same(ev.compute(), evaluate(GT, []))
    ev.update(dets[:100])
    assert_same(ev.compute(), evaluate(GT, dets[:100]))
    with pytest.raises(TypeError, match="dataset path, a dataset dict or an object"):
        StreamingEvaluator([GT])


@pytest.mark.parametrize("a_idx", [0, 1, 3])
def test_array_route_keeps_result_ids_and_areas(a_idx):
    """Box states reach the evaluator as an Nx7 array: its derived ids
    (position + 1) and areas (w * h, seen through the area-range ignore
    flags) are those of the result dicts."""
    from vantorel.evaluation import build_evaluator

    dets = load(RESULTS["bbox"])
    ev = StreamingEvaluator(GT)
    ev.update(dets[:300])
    ev.update(dets[300:])
    verdicts = []
    for results in (ev.results(), dets):
        native = build_evaluator(GT, results).evaluator
        native.run()
        verdicts.append(native.per_instance(0, a_idx, 100))
    assert isinstance(ev.results(), np.ndarray)
    for got, want in zip(*verdicts):
        assert got.keys() == want.keys()
        for key in got:
            np.testing.assert_array_equal(got[key], want[key], err_msg=key)


# State integrity: damage and alteration are refused, the ground truth is found and checked again.


def _resealed(body):
    """State bytes whose checksum is made anew over a changed body: an alteration, not damage."""
    return body + hashlib.sha256(body).digest()


def _with_header(data, change):
    _, version, n = struct.unpack_from("<8sHI", data)
    header = json.loads(data[14 : 14 + n])
    change(header)
    head = json.dumps(header).encode()
    return _resealed(struct.pack("<8sHI", b"VNTRLSTR", version, len(head)) + head + data[14 + n : -32])


@pytest.fixture(scope="module")
def state_bytes():
    ev = StreamingEvaluator(GT)
    ev.update(load(RESULTS["bbox"])[:50])
    return ev.to_bytes(), ev.compute().stats


def test_any_bit_flip_is_refused(state_bytes):
    data, _ = state_bytes
    rng = random.Random(5)
    for _ in range(300):
        damaged = bytearray(data)
        damaged[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        with pytest.raises(ValueError):
            StreamingEvaluator.from_bytes(bytes(damaged))


@pytest.mark.parametrize("version", [1, 2])
def test_altered_parameters_are_refused(state_bytes, version):
    data, stats = state_bytes
    if version == 1:  # the earlier format: no checksum, parameters still checked
        data = _resealed(data[:8] + (1).to_bytes(2, "little") + data[10:-32])[:-32]
        np.testing.assert_array_equal(StreamingEvaluator.from_bytes(data).compute().stats, stats)
        altered = _with_header(data + bytes(32), lambda h: h["params"].update(max_dets=[1, 10, 50]))[:-32]
    else:
        altered = _with_header(data, lambda h: h["params"].update(max_dets=[1, 10, 50]))
    with pytest.raises(ValueError, match="parameters do not match"):
        StreamingEvaluator.from_bytes(altered)


def test_relative_ground_truth_path_survives_chdir(tmp_path, monkeypatch, state_bytes):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    shutil.copy(GT, tmp_path / "a" / "gt.json")
    monkeypatch.chdir(tmp_path / "a")
    ev = StreamingEvaluator("gt.json")
    ev.update(load(RESULTS["bbox"])[:50])
    data = pickle.dumps(ev)
    monkeypatch.chdir(tmp_path / "b")
    restored = pickle.loads(data)
    assert restored.gt_path == str(tmp_path / "a" / "gt.json")
    np.testing.assert_array_equal(restored.compute().stats, state_bytes[1])


@pytest.mark.parametrize("field", ["bbox", "area", "iscrowd"])
def test_changed_ground_truth_file_is_refused_by_name(tmp_path, field):
    path = tmp_path / "gt.json"
    shutil.copy(GT, path)
    ev = StreamingEvaluator(path)
    ev.update(load(RESULTS["bbox"])[:50])
    data = pickle.dumps(ev)
    dataset = json.loads(path.read_text())
    ann = dataset["annotations"][3]
    ann[field] = [1, 2, 3, 4] if field == "bbox" else (ann[field] + 1 if field == "area" else 1 - ann[field])
    path.write_text(json.dumps(dataset))
    with pytest.raises(ValueError, match=f"ground-truth file '{path}'"):
        pickle.loads(data).compute()


def test_box_content_is_in_the_ground_truth_fingerprint():
    dataset = json.loads(GT.read_text())
    ev = StreamingEvaluator(json.loads(GT.read_text()))
    dataset["annotations"][0]["bbox"] = [0, 0, 1, 1]
    with pytest.raises(ValueError, match="other ground truth"):
        ev.merge(StreamingEvaluator(dataset))
