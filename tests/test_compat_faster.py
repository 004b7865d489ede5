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
from compat_oracle import GT_FILE, RESULT_FILES, random_case
from vantorel import compat
from vantorel.compat import coco as ours_coco
from vantorel.compat import faster
from vantorel.compat.faster import COCOeval_faster

ORACLE = (faster_coco_eval.COCO, faster_coco_eval.COCOeval_faster)
OURS = (ours_coco.COCO, COCOeval_faster)

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


@pytest.mark.parametrize(
    "kw, named",
    [({"lvis_style": True}, "vantorel.compat.lvis"), ({"extra_calc": True}, "extra_calc"),
     ({"ranges": {"tiny": [0, 100]}}, "areaRng")],
)
def test_unsupported_keywords_refused(kw, named):
    # Refused rather than computing something other than what was asked.
    with pytest.raises(NotImplementedError, match=named):
        COCOeval_faster(None, None, "bbox", **kw)


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
    for name in [n for n in sys.modules if n.split(".")[0] in ("faster_coco_eval", "pycocotools")]:
        monkeypatch.setitem(sys.modules, name, sys.modules[name])
    for name in ("faster_coco_eval.core", "faster_coco_eval.coco", "faster_coco_eval.cocoeval"):
        monkeypatch.setitem(sys.modules, name, None)


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
