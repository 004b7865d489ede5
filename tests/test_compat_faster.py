"""vantorel.compat.faster against faster-coco-eval itself: printed lines,
stats, stats_as_dict and arrays on the bundled data and seeded random data."""

import copy
import json
import pickle
import re
import sys

import faster_coco_eval
import numpy as np
import pytest

import evalgen
from compat_oracle import DATA, GT_FILE, RESULT_FILES, random_case
from vantorel import compat
from vantorel.compat import coco as ours_coco
from vantorel.compat import faster
from vantorel.compat.faster import COCOeval_faster

ORACLE = (faster_coco_eval.COCO, faster_coco_eval.COCOeval_faster)
OURS = (ours_coco.COCO, COCOeval_faster)
LVIS_FILE = DATA / "lvis_val_100.json"

CASES = {
    "data-bbox": lambda: (str(GT_FILE), str(RESULT_FILES["bbox"]), "bbox"),
    "data-segm": lambda: (str(GT_FILE), str(RESULT_FILES["segm"]), "segm"),
    "random-bbox": lambda: (*random_case(11, "bbox"), "bbox"),
    "random-segm": lambda: (*random_case(12, "segm"), "segm"),
    "random-boundary": lambda: (*random_case(13, "segm"), "boundary"),
    "random-keypoints": lambda: (*random_case(14, "keypoints"), "keypoints"),
}


def run(impl, gt, res, iou_type, max_dets=None, **kw):
    """(evaluator after run(), the lines it sent to print_function, timings blanked)."""
    g = impl[0](gt if isinstance(gt, str) else copy.deepcopy(gt))
    d = g.loadRes(res if isinstance(res, str) else copy.deepcopy(res))
    lines = []
    E = impl[1](g, d, iou_type, print_function=lines.append, **kw)
    if max_dets is not None:
        E.params.maxDets = max_dets
    E.run()
    return E, [re.sub(r"t=\d+\.\d+s", "t=_s", line) for line in lines]


def assert_close_values(ours, theirs):
    # faster-coco-eval's accumulation rounds some precision values differently
    # in the last bit (ours agree with pycocotools exactly), so a mean may
    # differ in its 16th digit; everything else is exact.
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-13)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("max_dets", [None, [1, 10, 50], [100], [5, 20, 300]])
def test_same_as_faster_coco_eval(case, max_dets):
    gt, res, iou_type = CASES[case]()
    if iou_type == "keypoints" and max_dets is not None:
        max_dets = max_dets[-1:]
    A, lines_a = run(OURS, gt, res, iou_type, max_dets)
    B, lines_b = run(ORACLE, gt, res, iou_type, max_dets)
    assert lines_a == lines_b
    assert A.stats.shape == B.stats.shape
    assert_close_values(A.stats, B.stats)
    da, db = A.stats_as_dict, B.stats_as_dict
    assert list(da) == list(db) and all(type(v) is float for v in da.values())
    assert_close_values(list(da.values()), list(db.values()))
    for key in ("recall", "scores"):
        np.testing.assert_array_equal(A.eval[key], B.eval[key], err_msg=key)
    assert_close_values(A.eval["precision"], B.eval["precision"])


@pytest.mark.parametrize(
    "kw",
    [{"use_area": False}, {"kpt_oks_sigmas": [0.05] * 17}, {"separate_eval": True, "rle_iou_max_workers": 1}],
)
def test_keypoint_keywords(kw):
    gt, res = random_case(21, "keypoints")
    A, lines_a = run(OURS, gt, res, "keypoints", **kw)
    B, lines_b = run(ORACLE, gt, res, "keypoints", **kw)
    assert lines_a == lines_b
    assert_close_values(A.stats, B.stats)


def test_boundary_dilation():
    gt, res = random_case(22, "segm")
    A, _ = run(OURS, gt, res, "boundary", boundary_dilation_ratio=0.05)
    B, _ = run(ORACLE, gt, res, "boundary", boundary_dilation_ratio=0.05)
    assert_close_values(A.stats, B.stats)


@pytest.mark.parametrize("case", ["data-bbox", "data-segm", "random-keypoints", 11, 31, 71])
def test_extended_metrics_as_faster_coco_eval(case):
    """Seeds 11 and 71 have their best mean F1 where the F1 of the mean
    precision and recall is not best; 31 has it above the lowest score."""
    gt, res, iou_type = CASES[case]() if isinstance(case, str) else (*random_case(case, "bbox"), "bbox")
    a, b = (run(impl, gt, res, iou_type)[0].extended_metrics for impl in (OURS, ORACLE))
    assert [c["class"] for c in a["class_map"]] == [c["class"] for c in b["class_map"]]
    flat = [[c[k] for c in m["class_map"] for k in ("map@50:95", "map@50", "precision", "recall")] for m in (a, b)]
    assert_close_values(*flat)
    assert_close_values([a[k] for k in ("map", "precision", "recall")], [b[k] for k in ("map", "precision", "recall")])


def test_extended_metrics_needs_iou_050():
    for impl in (OURS, ORACLE):
        E, _ = run(impl, str(GT_FILE), str(RESULT_FILES["bbox"]), "bbox")
        E.params.iouThrs = np.array([0.55, 0.75])
        with pytest.raises(ValueError, match=r"0\.50.*\[0\.55, 0\.75\]"):
            _ = E.extended_metrics


def run_lines(impl, gt, res, iou_type, max_dets=None, **kw):
    """run() without the lines that carry timings."""
    E, lines = run(impl, gt, res, iou_type, max_dets, **kw)
    return E, [line for line in lines if "t=_s" not in line]


@pytest.mark.parametrize(
    "max_dets, ranges",
    [([300], None), ([1, 10, 100], None), ([10, 300], None), ([1, 10, 100, 300], None), ([5], {"tiny": [0, 99]})],
)
def test_lvis_style_as_faster_coco_eval(max_dets, ranges):
    """LVIS rules (verified and non-exhaustive categories, no per-image cap:
    some images have over 400 results) and its summary: frequency lines,
    recall named AR_all/AR_second/AR_third whatever the caps."""
    gt = json.loads(LVIS_FILE.read_text())
    res = evalgen.lvis_results(5, gt, per_image=(150, 420))
    A, lines_a = run_lines(OURS, gt, res, "bbox", max_dets, lvis_style=True, ranges=ranges)
    B, lines_b = run_lines(ORACLE, gt, res, "bbox", max_dets, lvis_style=True, ranges=ranges)
    assert lines_a == lines_b
    assert list(A.stats_as_dict) == list(B.stats_as_dict)
    assert_close_values(list(A.stats_as_dict.values()), list(B.stats_as_dict.values()))
    assert_close_values(A.stats, B.stats)
    assert_close_values(A.all_stats, B.all_stats)
    assert_close_values(A.eval["precision"], B.eval["precision"])


@pytest.mark.parametrize("use_area", [False, True])
def test_keypoints_crowd_as_faster_coco_eval(use_area):
    gt, res = random_case(24, "keypoints")
    gt = evalgen.with_crowd_index(25, gt)
    sigmas = np.linspace(0.03, 0.1, 17)
    A, lines_a = run_lines(OURS, gt, res, "keypoints_crowd", kpt_oks_sigmas=sigmas, use_area=use_area)
    B, lines_b = run_lines(ORACLE, gt, res, "keypoints_crowd", kpt_oks_sigmas=sigmas, use_area=use_area)
    assert lines_a == lines_b
    assert list(A.stats_as_dict) == list(B.stats_as_dict)
    assert_close_values(A.stats, B.stats)


def test_to_dict_separate_fn_as_faster_coco_eval():
    """Missed ground truths (flagged "fn") move to a twin category "<name>_fn"."""
    raw = json.loads(GT_FILE.read_text())
    for a in raw["annotations"][::7]:
        a["fn"] = True
    for a in raw["annotations"][3::7]:
        a["fn"] = False
    ours, theirs = faster.COCO(copy.deepcopy(raw)), faster_coco_eval.COCO(copy.deepcopy(raw))
    assert ours.to_dict(separate_fn=True) == theirs.to_dict(separate_fn=True)
    assert ours.to_dict() == theirs.to_dict() == ours.to_dict(separate_fn=False)


def test_default_print_function_is_silent(capsys):
    gt = ours_coco.COCO(str(GT_FILE))
    dt = gt.loadRes(str(RESULT_FILES["bbox"]))
    capsys.readouterr()
    COCOeval_faster(gt, dt, "bbox").run()
    assert capsys.readouterr().out == ""


def no_times(lines):
    return [re.sub(r"t=\d+\.\d+s", "t=_s", line) for line in lines]


@pytest.mark.parametrize("source", ["path", "dict", "dict-deepcopy"])
def test_coco_same_as_faster_coco_eval(source):
    raw = json.loads(GT_FILE.read_text())
    seen = []
    for COCO in (faster.COCO, faster_coco_eval.COCO):
        lines = []
        arg = str(GT_FILE) if source == "path" else copy.deepcopy(raw)
        g = COCO(arg, use_deepcopy=source == "dict-deepcopy", print_function=lines.append)
        d = g.loadRes(str(RESULT_FILES["bbox"]))
        g.info()
        shared = source == "dict" and g.dataset["annotations"] is arg["annotations"]
        seen.append((
            no_times(lines), type(d).__name__, d.print_function == g.print_function, shared,
            g.to_dict(), d.to_dict(), g.load_json(str(GT_FILE)), g.load_json(arg) == arg,
            g.get_ann_ids(), g.get_ann_ids(img_ids=[42, 73], cat_ids=[1], area_rng=[0, 5000], iscrowd=False),
            g.get_cat_ids(cat_names=["person", "dog"]), g.get_cat_ids(sup_names=["vehicle"]),
            g.get_img_ids(cat_ids=[18]), g.load_anns(g.get_ann_ids(img_ids=[42])), g.load_cats([1, 2]),
            g.load_imgs([42]), g.img_ann_map[42], g.cat_img_map[18],
        ))  # fmt: skip
    assert seen[0] == seen[1], [n for n, (a, b) in enumerate(zip(*seen)) if a != b]


@pytest.fixture
def sys_modules_restored(monkeypatch):
    import _vantorel_aliases

    for name in [n for n in sys.modules if n.split(".")[0] in ("faster_coco_eval", "pycocotools")]:
        monkeypatch.setitem(sys.modules, name, sys.modules[name])
    yield
    _vantorel_aliases.uninstall("faster_coco_eval")


def test_install_as_faster_coco_eval(sys_modules_restored):
    compat.install_as_faster_coco_eval()
    from faster_coco_eval import COCO, COCOeval_faster, init_as_pycocotools
    from faster_coco_eval.core import COCOeval_faster as core_eval

    assert (COCO, COCOeval_faster, core_eval) == (faster.COCO, faster.COCOeval_faster, faster.COCOeval_faster)
    init_as_pycocotools()
    from pycocotools.coco import COCO as pc_coco
    from pycocotools.cocoeval import COCOeval as pc_eval

    assert (pc_coco, pc_eval) == (faster.COCO, faster.COCOeval_faster)
    A, _ = run((pc_coco, pc_eval), str(GT_FILE), str(RESULT_FILES["bbox"]), "bbox")
    B, _ = run(ORACLE, str(GT_FILE), str(RESULT_FILES["bbox"]), "bbox")
    assert_close_values(A.stats, B.stats)


def test_pickled_evaluator_keeps_its_options(tmp_path):
    gt, res = random_case(23, "keypoints")
    path = tmp_path / "gt.json"
    path.write_text(json.dumps(gt))
    A, _ = run(OURS, str(path), res, "keypoints", use_area=False)
    A.print_function = print  # a list's append would not pickle; the unpickled one falls back to the logger
    B = pickle.loads(pickle.dumps(A))
    B.run()
    C, _ = run(ORACLE, gt, res, "keypoints", use_area=False)
    assert_close_values(B.stats, C.stats)


def test_call_sequences_as_faster_coco_eval():
    """stats_as_dict is missing before summarize(); summarize() right after
    evaluate() works (faster-coco-eval's evaluate accumulates); a later
    maxDets change renames the recall entries."""
    seen = []
    for impl in (OURS, ORACLE):
        g = impl[0](str(GT_FILE))
        lines = []
        E = impl[1](g, g.loadRes(str(RESULT_FILES["bbox"])), "bbox", print_function=lines.append)
        missing = not hasattr(E, "stats_as_dict")
        E.evaluate()
        lines.clear()
        E.summarize()
        E.params.maxDets = [1, 10, 50]
        E.summarize()
        seen.append((missing, lines, list(E.stats_as_dict), E.stats))
    assert seen[0][:3] == seen[1][:3]
    assert_close_values(seen[0][3], seen[1][3])


def test_lines_reach_print_function_without_taking_other_threads_output(capsys):
    # Lines go to print_function through a per-thread sink, not by swapping
    # sys.stdout: what another thread prints meanwhile still reaches stdout.
    import threading

    from vantorel.compat._output import emit, lines_to

    got: list[str] = []
    with lines_to(got.append):
        emit("ours")
        worker = threading.Thread(target=lambda: (emit("theirs, through emit"), print("theirs")))
        worker.start()
        worker.join()
    assert got == ["ours"]
    assert capsys.readouterr().out == "theirs, through emit\ntheirs\n"


RANGES = {"nano": [0, 8**2], "micro": [8**2, 16**2], "small": [16**2, 32**2], "rest": [32**2, 1e5**2]}


@pytest.mark.parametrize("case", ["data-bbox", "data-segm", "random-keypoints"])
def test_ranges_and_min_score_as_faster_coco_eval(case):
    """ranges= gives a summary line per range (keypoints keep theirs);
    loadRes(min_score=) keeps the results scoring at least that."""
    gt, res, iou_type = CASES[case]()
    seen = []
    for impl in ((faster.COCO, COCOeval_faster), ORACLE):
        g = impl[0](gt if isinstance(gt, str) else copy.deepcopy(gt))
        d = g.loadRes(res if isinstance(res, str) else copy.deepcopy(res), min_score=0.5)
        E = impl[1](g, d, iou_type, ranges=RANGES)
        E.run()
        seen.append((len(d.anns), E.params.areaRngLbl, E.stats_as_dict, E.all_stats))
    (n_a, lbl_a, named_a, all_a), (n_b, lbl_b, named_b, all_b) = seen
    assert (n_a, lbl_a, list(named_a)) == (n_b, lbl_b, list(named_b))
    assert_close_values(list(named_a.values()), list(named_b.values()))
    assert_close_values(all_a, all_b)


def test_params_calc_auc_iteration_and_masks_as_faster_coco_eval():
    from faster_coco_eval.core import cocoeval as their_eval
    from faster_coco_eval.core import mask as their_mask

    from vantorel.compat.faster_coco_eval.core import cocoeval as our_eval
    from vantorel.compat.faster_coco_eval.core import mask as our_mask

    for args in [("bbox", None, {"a": [0, 64], "b": [64, 1e10]}), ("keypoints", [0.1] * 17, {"a": [0, 9]}),
                 ("keypoints_crowd", [0.1] * 14, {"a": [0, 9]})]:  # fmt: skip
        ours, theirs = our_eval.Params(*args), their_eval.Params(*args)
        assert (ours.iouType, ours.areaRng, ours.areaRngLbl, ours.maxDets) == (
            theirs.iouType, theirs.areaRng, theirs.areaRngLbl, theirs.maxDets)  # fmt: skip
        np.testing.assert_array_equal(getattr(ours, "kpt_oks_sigmas", None), getattr(theirs, "kpt_oks_sigmas", None))
    rng = np.random.default_rng(3)
    for _ in range(20):
        recall, precision = np.sort(rng.random(rng.integers(0, 9))), rng.random(9)
        precision = precision[: recall.size]
        assert COCOeval_faster.calc_auc(recall, precision) == pytest.approx(
            faster_coco_eval.COCOeval_faster.calc_auc(recall, precision), abs=1e-15
        )
    ours_gt = faster.COCO(str(GT_FILE))
    assert dict(ours_gt) == dict(faster_coco_eval.COCO(str(GT_FILE)))
    for ann in list(ours_gt.anns.values())[:40]:
        img = ours_gt.imgs[ann["image_id"]]
        segm_a = our_mask.segmToRle(ann["segmentation"], img["width"], img["height"])
        assert segm_a == their_mask.segmToRle(ann["segmentation"], img["width"], img["height"])
        # Not 0.02: on 375x500 images its band is 12.5 pixels, which the engine
        # rounds up and faster-coco-eval down (see vantorel.compat.faster).
        for ratio in (0.05, 0.1):
            assert our_mask.rleToBoundary(segm_a, ratio) == their_mask.rleToBoundary(segm_a, ratio)


def test_api_details_clients_use_as_faster_coco_eval(tmp_path):
    """Found running faster-coco-eval's own tests through the alias: the
    refusals it documents (result type, ids, worker caps), repr, dump,
    keypoints with lvis_style, and the evaluator's print_function reaching
    its COCO objects."""
    import faster_coco_eval.core.mask as their_mask
    from faster_coco_eval.core.cocoeval import Params as their_params

    from vantorel.compat.faster_coco_eval.core import mask as our_mask

    seen = []
    for impl, mask_mod in (((faster.COCO, COCOeval_faster), our_mask), (ORACLE, their_mask)):
        g = impl[0](str(GT_FILE))
        params = faster.FasterParams if impl is not ORACLE else their_params
        outcome = []
        for call in (lambda: g.loadRes(1), lambda: g.loadAnns(["x"]), lambda: g.loadImgs([1.5]),
                     lambda: impl[1](g, g, "iouType"), lambda: params("iouType"),
                     lambda: impl[1](g, g, "bbox", rle_iou_max_workers=0),
                     lambda: impl[1](g, g, "bbox", rle_iou_max_workers=True)):  # fmt: skip
            with pytest.raises((TypeError, ValueError)) as e:
                call()
            outcome.append(e.type)
        g.dump(tmp_path / "out.json")
        outcome.append(impl[0](str(tmp_path / "out.json")).dataset == g.to_dict())
        E = impl[1](g, g.loadRes(str(RESULT_FILES["bbox"])), "keypoints", lvis_style=True, print_function=print)
        outcome += [E.lvis_style, E.cocoGt.print_function is print, repr(g).split(" #")[0], repr(E).split(" #")[0]]
        rle = g.annToRLE(g.anns[g.getAnnIds()[0]])
        outcome.append(mask_mod.opencv_available and mask_mod.rleToBoundary(rle, 0.1, backend="opencv"))
        seen.append(outcome)
    assert seen[0] == seen[1]


def test_subclass_steps_without_iscrowd_as_faster_coco_eval():
    """Found through faster-coco-eval's own tests: an evaluator subclass that
    overrides computeIoU runs the per-image steps, which must read a ground
    truth without "iscrowd" as not crowd (as the native route and faster-coco-eval do)."""
    gt, res = random_case(26, "bbox")
    for a in gt["annotations"]:
        if not a["iscrowd"]:
            del a["iscrowd"]
    seen = []
    for impl in (OURS, ORACLE):

        class Counting(impl[1]):
            def computeIoU(self, imgId, catId):
                return super().computeIoU(imgId, catId)

        seen.append(run((impl[0], Counting), gt, res, "bbox")[0].stats)
    assert_close_values(*seen)
