"""Calling patterns of faster-coco-eval's own test suite, each checked against
faster-coco-eval itself: RLE checks inside batches, the native module's
one-argument frUncompressedRLE, integer image ids, single-pass indexing,
IoU calls only where both sides exist, forged iouTypes, and mask IoU
running without the interpreter lock."""

import sys
import threading

import faster_coco_eval
import faster_coco_eval.core.mask as their_mask
import faster_coco_eval.mask_api_new_cpp as their_raw
import numpy as np
import pycocotools._mask as pycocotools_raw
import pytest

from vantorel.compat import _packages, faster
from vantorel.compat import coco as ours_coco
from vantorel.compat import mask as ours_pycocotools_mask
from vantorel.compat.faster_coco_eval import mask_api_new_cpp as our_raw
from vantorel.compat.faster_coco_eval.core import mask as our_mask

GOOD = {"size": [2, 2], "counts": b"04"}
OVERRUN = {"size": [2, 2], "counts": b"05"}
SHORT = {"size": [2, 2], "counts": b"03"}
CUT = {"size": [2, 2], "counts": b"0`"}  # the last byte says the run goes on


def outcome(fn, *args):
    """What a call gives: its value as a list, or its exception's type and text."""
    try:
        value = fn(*args)
    except Exception as e:  # the exception is the outcome compared
        return type(e).__name__, str(e)
    return value if isinstance(value, dict) else np.asarray(value).tolist()


@pytest.mark.parametrize("name", ["decode", "area", "toBbox", "merge"])
@pytest.mark.parametrize("bad", [OVERRUN, SHORT, CUT], ids=["overrun", "short", "cut"])
@pytest.mark.parametrize("at", [0, 20], ids=["alone", "last-of-21"])
@pytest.mark.parametrize("modules", [(our_raw, their_raw), (our_mask, their_mask)], ids=["raw", "core.mask"])
def test_bad_runs_in_a_batch_as_faster_coco_eval(modules, name, bad, at):
    batch = [GOOD] * at + [bad]
    ours, theirs = (getattr(m, name) for m in modules)
    assert outcome(ours, batch) == outcome(theirs, batch)


@pytest.mark.parametrize("seed", range(4))
def test_run_checks_of_random_counts_as_faster_coco_eval(seed):
    # Compressed counts of up to a dozen numbers (negative runs included),
    # some cut inside their last number, against sizes around their totals.
    rng = np.random.default_rng(seed)
    for _ in range(300):
        numbers = [
            bytes([*rng.integers(80, 112, rng.integers(0, 3)), rng.integers(48, 80)])
            for _ in range(rng.integers(0, 12))
        ] + [bytes([rng.integers(80, 112)])] * int(rng.random() < 0.2)  # now and then cut inside a number
        rle = {"size": [int(rng.integers(0, 6)), int(rng.integers(0, 6))], "counts": b"".join(numbers)}
        for name in ("area", "decode"):
            ours, theirs = outcome(getattr(our_mask, name), [rle]), outcome(getattr(their_mask, name), [rle])
            assert isinstance(ours, tuple) == isinstance(theirs, tuple), rle
            if isinstance(theirs, tuple):
                assert ours == theirs, rle


@pytest.mark.parametrize("modules", [(our_raw, their_raw), (our_mask, their_mask)], ids=["raw", "core.mask"])
@pytest.mark.parametrize("batch", [
    [GOOD, {"size": [3, 3], "counts": b"09"}],  # decode gives every mask the first one's size
    [{"size": [3, 3], "counts": b"09"}, GOOD],
    [{"size": [2, 3], "counts": b"06"}, {"size": [3, 2], "counts": b"06"}],
])  # fmt: skip
def test_decode_of_mixed_sizes_as_faster_coco_eval(modules, batch):
    ours, theirs = outcome(modules[0].decode, batch), outcome(modules[1].decode, batch)
    assert ours[0] == theirs[0] if isinstance(theirs, tuple) else ours == theirs  # its overrun text is its own


@pytest.mark.parametrize("obj", [CUT, {"size": [2, 2], "counts": "04"}, [GOOD]])
def test_from_objects_refuses_compressed_counts_as_faster_coco_eval(obj):
    with pytest.raises(RuntimeError):
        their_mask.frPyObjects(obj, 2, 2)
    with pytest.raises(RuntimeError, match="compressed"):
        our_mask.frPyObjects(obj, 2, 2)


@pytest.mark.parametrize("modules", [(our_raw, their_raw), (our_mask, their_mask)], ids=["raw", "core.mask"])
def test_iou_refuses_overrun_as_faster_coco_eval(modules):
    # An undersized RLE is not compared: faster-coco-eval's iou does not return on it.
    for dt, gt in [([OVERRUN], [GOOD]), ([GOOD], [GOOD, OVERRUN]), ([GOOD], [CUT])]:
        assert outcome(modules[0].iou, dt, gt, [0] * len(gt)) == outcome(modules[1].iou, dt, gt, [0] * len(gt))


def test_pycocotools_raw_decode_refuses_overrun():
    ours = _packages.raw_mask("pycocotools._mask")
    assert outcome(ours.decode, [GOOD, OVERRUN]) == outcome(pycocotools_raw.decode, [GOOD, OVERRUN])
    assert outcome(ours.area, [OVERRUN]) == outcome(pycocotools_raw.area, [OVERRUN])  # the reference counts it


@pytest.mark.parametrize("counts", [[0, 4], [1, 2, 1], [0, 3], [0, 5]])
def test_raw_from_uncompressed_with_one_argument(counts):
    given = [{"size": [2, 2], "counts": counts}, {"size": [3, 1], "counts": [3]}]
    assert outcome(our_raw.frUncompressedRLE, given) == outcome(their_raw.frUncompressedRLE, given)


IDS = [("2299", "2299"), (2.0, 2.0), ("7", 7), (7, "7"), (" 7", " 7"), ("-3", "-3"), (True, True), (np.int64(4), 4)]


@pytest.mark.parametrize(("image_id", "ann_image_id"), IDS)
def test_image_ids_made_integers_as_faster_coco_eval(image_id, ann_image_id):
    def index(cls):
        coco = cls()
        coco.dataset = {
            "images": [{"id": image_id, "width": 9, "height": 9}],
            "annotations": [{"id": 1, "image_id": ann_image_id, "category_id": 1, "bbox": [0, 0, 1, 1], "area": 1}],
            "categories": [{"id": 1, "name": "a"}],
        }
        coco.createIndex()
        return coco

    ours, theirs = index(faster.COCO), index(faster_coco_eval.COCO)
    assert ours.dataset == theirs.dataset
    assert [type(i) for i in ours.getImgIds()] == [type(i) for i in theirs.getImgIds()] == [int]
    assert dict(ours.imgToAnns) == dict(theirs.imgToAnns)


@pytest.mark.parametrize("image_id", ["abc", "1.5", None])
def test_image_id_not_an_integer_refused(image_id):
    coco = faster.COCO()
    coco.dataset = {"images": [{"id": image_id}], "annotations": []}
    if image_id is None:  # not given: nothing to make an integer, as faster-coco-eval leaves it
        coco.createIndex()
        return
    with pytest.raises(ValueError, match="images: id"):
        coco.createIndex()


class OncePerIndex(list):
    """Annotations that count their iterations."""

    iterations = 0

    def __iter__(self):
        self.iterations += 1
        return super().__iter__()


@pytest.mark.parametrize("cls", [faster.COCO, ours_coco.COCO])
def test_index_iterates_annotations_once(cls):
    anns = OncePerIndex([{"id": 1, "image_id": "1", "category_id": 3}, {"id": 2, "image_id": 2, "category_id": 4}])
    coco = cls()
    coco.dataset = {"images": [{"id": 1}, {"id": 2}], "categories": [{"id": 3}, {"id": 4}], "annotations": anns}
    coco.createIndex()
    assert anns.iterations == 1
    assert coco.imgToAnns[2] == [anns[1]] and coco.catToImgs[4] == [2]


def counting(base):
    class Counting(base):
        def computeIoU(self, imgId, catId):
            self.calls.append((int(imgId), int(catId)))
            return super().computeIoU(imgId, catId)

    return Counting


@pytest.mark.parametrize("use_cats", [1, 0])
@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_iou_computed_only_where_both_sides_are(use_cats, iou_type):
    def run(coco_cls, eval_cls):
        gt = coco_cls()
        square = {"bbox": [0, 0, 10, 10], "area": 100, "segmentation": [[0, 0, 0, 10, 10, 10, 10, 0]]}
        gt.dataset = {
            "images": [{"id": i, "width": 20, "height": 20} for i in (1, 2, 3)],
            "annotations": [{"id": i, "image_id": i, "category_id": 1, "iscrowd": 0, **square} for i in (1, 2)],
            "categories": [{"id": 1, "name": "one"}, {"id": 2, "name": "two"}],
        }
        gt.createIndex()
        dt = gt.loadRes([{"image_id": 1, "category_id": 1, "score": 1.0, **square},
                         {"image_id": 1, "category_id": 2, "score": 0.5, **square},
                         {"image_id": 3, "category_id": 2, "score": 0.5, **square}])  # fmt: skip
        E = counting(eval_cls)(gt, dt, iou_type, print_function=lambda *_: None)
        E.calls = []
        E.params.useCats = use_cats
        E.evaluate()
        return E.calls, {(int(i), int(c)): np.asarray(v).tolist() for (i, c), v in E.ious.items()}

    assert run(faster.COCO, faster.COCOeval_faster) == run(faster_coco_eval.COCO, faster_coco_eval.COCOeval_faster)


def test_forged_iou_type_refused_by_compute_iou_and_summarize():
    gt = faster.COCO()
    gt.dataset = {"images": [{"id": 1}], "annotations": [], "categories": [{"id": 1, "name": "a"}]}
    gt.createIndex()
    E = faster.COCOeval_faster(gt, gt.loadRes([]), "bbox", print_function=lambda *_: None)
    E.params.iouType = "invalid"
    E._prepare()
    with pytest.raises(ValueError, match="iouType"):
        E.computeIoU(1, 1)
    E.eval = {"ready": True}
    with pytest.raises(ValueError, match="iouType"):
        E.summarize()
    E.all_stats = np.array([])
    with pytest.raises(ValueError, match="iouType"):
        _ = E.stats_as_dict


def test_all_stats_set_renames_nothing_and_refuses_too_few():
    def summarized(impl):
        gt = impl[0]()
        gt.dataset = {"images": [{"id": 1}], "categories": [{"id": 1, "name": "a"}],
                      "annotations": [{"id": 1, "image_id": 1, "category_id": 1, "bbox": [0, 0, 5, 5], "area": 25}]}  # fmt: skip
        gt.createIndex()
        E = impl[1](gt, gt.loadRes([{"image_id": 1, "category_id": 1, "bbox": [0, 0, 5, 4], "score": 1}]), "bbox",
                    print_function=lambda *_: None)  # fmt: skip
        E.run()
        return E

    ours = summarized((faster.COCO, faster.COCOeval_faster))
    theirs = summarized((faster_coco_eval.COCO, faster_coco_eval.COCOeval_faster))
    for E in (ours, theirs):
        E.all_stats = np.arange(len(E.all_stats), dtype=float)
    assert ours.stats_as_dict == theirs.stats_as_dict
    with pytest.raises(IndexError):
        ours.all_stats = np.array([1.0])


def test_mask_iou_lets_other_threads_run():
    rows, cols = np.indices((256, 256))
    board = ours_pycocotools_mask.encode(np.asfortranarray(((rows + cols) % 2).astype(np.uint8)))
    rles = [board] * 24
    started, finished = threading.Event(), threading.Event()

    def work():
        started.set()
        try:
            ours_pycocotools_mask.iou(rles, rles, [0] * len(rles))
        finally:
            finished.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1.0)  # no switch between started.set() and the call: only a released lock lets us in
    worker = threading.Thread(target=work)
    try:
        worker.start()
        assert started.wait(5)
        overlapped = not finished.is_set()
        worker.join(30)
    finally:
        sys.setswitchinterval(interval)
    assert overlapped, "the main thread could not run while iou() computed"
