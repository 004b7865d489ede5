"""vantorel.compat.lvis against the lvis package on the bundled LVIS sample and seeded results."""

import contextlib
import copy
import io
import json
import logging
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import evalgen
from vantorel._conventions import segmentation_rle
from vantorel.compat import lvis as ours

ref = pytest.importorskip("lvis")

if not hasattr(np, "float"):
    np.float = float  # noqa: NPY001 -- the reference still spells the removed alias

GT = Path(__file__).resolve().parent.parent / "data" / "lvis_val_100.json"
DATASET = json.loads(GT.read_text())


def same(a, b, path="") -> None:
    """Equal values of equal types, recursively; arrays by dtype, shape and content."""
    assert type(a) is type(b), (path, type(a), type(b))
    if isinstance(a, dict):
        assert list(a) == list(b), path
        for k in a:
            same(a[k], b[k], f"{path}/{k}")
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b), path
        for i, (x, y) in enumerate(zip(a, b)):
            same(x, y, f"{path}[{i}]")
    elif isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=True), path
    else:
        assert a == b or (np.isnan(a) and np.isnan(b)), (path, a, b)


def results(kind, seed=11, per_image=(150, 420)):
    """Seeded results: boxes, RLE masks, or boxes that carry a polygon of their own."""
    res = evalgen.lvis_results(seed, DATASET, per_image=per_image)
    if kind == "bbox":
        return res
    size = {im["id"]: (im["height"], im["width"]) for im in DATASET["images"]}
    for d in res:
        x, y, w, h = d["bbox"]
        poly = [[x, y, x + w, y + h * 0.3, x + w * 0.6, y + h, x, y + h * 0.8]]
        if kind == "both":
            d["segmentation"] = poly
        else:
            rle = segmentation_rle(poly, *size[d["image_id"]])
            d["segmentation"] = {"size": rle["size"], "counts": rle["counts"].decode()}
            del d["bbox"]
    return res


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.INFO)

    def take():
        out = [(r.name, r.levelname, r.getMessage()) for r in caplog.records]
        caplog.clear()
        return out

    return take


@pytest.fixture(scope="module")
def gts():
    return ref.LVIS(str(GT)), ours.LVIS(str(GT))


def test_ground_truth_index_and_queries(gts, logs):
    logs()
    r, o = ref.LVIS(str(GT)), ours.LVIS(GT)
    reference_logs = logs()
    assert reference_logs[: len(reference_logs) // 2] == reference_logs[len(reference_logs) // 2 :]
    for name in ("dataset", "anns", "cats", "imgs", "img_ann_map", "cat_img_map"):
        same(getattr(r, name), getattr(o, name), name)
    img, cats = 565853, list(r.cats)
    queries = [
        {},
        {"img_ids": [89880, img, img]},
        {"cat_ids": [1097, 852]},
        {"img_ids": [img], "cat_ids": [852]},
        {"img_ids": [img], "cat_ids": cats, "area_rng": [959.73, 1e9]},
        {"img_ids": [], "cat_ids": [852]},
        {"img_ids": [1], "cat_ids": cats},
        {"area_rng": [0, 1000]},  # the reference needs cat_ids with an area range
        {"img_ids": img, "cat_ids": [852]},
    ]
    for q in queries:
        outcome = []
        for lv in (r, o):
            try:
                outcome.append(lv.get_ann_ids(**q))
            except TypeError as err:
                outcome.append(type(err))
        assert outcome[0] == outcome[1], q
    same(r.img_ann_map, o.img_ann_map)  # the queries' lookups add the same empty entries
    for method, arg in [
        ("get_cat_ids", ()),
        ("get_img_ids", ()),
        ("load_anns", ()),
        ("load_anns", ([3, 1],)),
        ("load_cats", (None,)),
        ("load_cats", ([5],)),
        ("load_imgs", ([img],)),
    ]:
        same(getattr(r, method)(*arg), getattr(o, method)(*arg), method)
    for ann in r.load_anns(r.get_ann_ids(img_ids=r.get_img_ids()[:5])):
        same(r.ann_to_rle(ann), o.ann_to_rle(ann))
        same(r.ann_to_mask(ann), o.ann_to_mask(ann))


@pytest.mark.parametrize("kind", ["bbox", "segm", "both"])
@pytest.mark.parametrize("max_dets", [300, 40, -1])
def test_results_layout_cap_and_derived_fields(gts, logs, kind, max_dets):
    res = results(kind, per_image=(0, 80))
    before = copy.deepcopy(res)
    logs()
    r = ref.LVISResults(gts[0], copy.deepcopy(res), max_dets=max_dets)
    reference_logs = logs()
    o = ours.LVISResults(gts[1], res, max_dets=max_dets)
    assert logs() == reference_logs
    assert res == before  # the caller's dicts are not written to (the reference's are)
    for name in ("dataset", "anns", "imgs", "img_ann_map", "cat_img_map"):
        same(getattr(r, name), getattr(o, name), name)
    same(r.get_top_results(266409, 0.9), o.get_top_results(266409, 0.9))


def test_results_from_files_and_refusal(gts, logs, tmp_path):
    path = tmp_path / "res.json"
    path.write_text(json.dumps(results("bbox", per_image=(0, 30))))
    logs()
    r = ref.LVISResults(str(GT), str(path))
    reference_logs = logs()
    o = ours.LVISResults(GT, path)
    assert logs() == reference_logs
    same(r.dataset, o.dataset)
    stray = [{"image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 0.5}]
    for module, gt in zip((ref, ours), gts):
        with pytest.raises(AssertionError, match=r"Results do not correspond to current LVIS set\."):
            module.LVISResults(gt, stray)


@pytest.mark.parametrize(
    "iou_type,kind,max_dets,read_first",
    [
        ("bbox", "bbox", 300, False),
        ("bbox", "bbox", -1, False),
        ("segm", "both", 40, False),
        ("segm", "segm", 300, False),
        ("bbox", "bbox", 300, True),
    ],
)
def test_box_results_file_held_in_columns(gts, tmp_path, iou_type, kind, max_dets, read_first):
    """A box results file is evaluated from the native columns (the engine
    applies the per-image cap); the dicts, records and pointers read
    afterwards, with ids after the cap, are the reference's, and so is an
    evaluation after the dicts were read."""
    path = tmp_path / "res.json"
    path.write_text(json.dumps(results(kind, per_image=(150, 420) if kind == "bbox" else (0, 80))))
    out = []
    for module, gt in zip((ref, ours), gts):
        dt = module.LVISResults(gt, str(path), max_dets=max_dets)
        if read_first:
            len(dt.anns)
        ev = module.LVISEval(gt, dt, iou_type)
        with contextlib.redirect_stdout(io.StringIO()) as buf:
            ev.run()
            ev.print_results()
        out.append((ev, buf.getvalue()))
    (r, r_out), (o, o_out) = out
    assert (o.lvis_dt.__dict__["dataset"]["annotations"] is None) is not read_first  # run() made no dicts
    assert r_out == o_out
    check_evaluation(r, o)
    if iou_type == "bbox":  # a mask evaluation of the reference writes RLEs into its result dicts
        for name in ("dataset", "anns", "imgs", "cats", "img_ann_map", "cat_img_map"):
            same(getattr(r.lvis_dt, name), getattr(o.lvis_dt, name), name)
    # Pickled and copied as dicts: the columns stay behind.
    for held in (ours.LVISResults(gts[1], str(path), max_dets=max_dets), o.lvis_dt):
        for copied in (pickle.loads(pickle.dumps(held)), copy.deepcopy(held)):
            same(copied.dataset, held.dataset)


@pytest.mark.parametrize("field,value", [("id", 7), ("area", 3.0), ("iscrowd", 1), ("bbox", [1.0, 2.0, 3.0, 4.0])])
def test_results_file_writing_derived_fields(gts, tmp_path, field, value):
    """A results file that writes a field loading derives (a mask result's
    box, for masks) gives the reference's dicts and evaluation: the columns
    cannot tell the file's own values from derived ones."""
    res = results("segm" if field == "bbox" else "bbox", per_image=(0, 30))
    for d in res[1::5]:  # not the first, whose fields choose the shape
        d[field] = value
    path = tmp_path / "res.json"
    path.write_text(json.dumps(res))
    out = []
    for module, gt in zip((ref, ours), gts):
        ev = module.LVISEval(gt, module.LVISResults(gt, str(path)), "segm" if field == "bbox" else "bbox")
        with contextlib.redirect_stdout(io.StringIO()) as buf:
            ev.run()
            ev.print_results()
        out.append((ev.lvis_dt.dataset, buf.getvalue()))
    same(out[0][0], out[1][0])
    assert out[0][1] == out[1][1]


def test_null_score_in_a_results_file_fails_as_the_reference(gts, tmp_path):
    """A null score fails with TypeError, as in the reference (the columns
    would read it as 0, the engine rank it quietly)."""
    res = results("bbox", per_image=(0, 20))
    res[3]["score"] = None
    path = tmp_path / "res.json"
    path.write_text(json.dumps(res))
    failures = []
    for module, gt in zip((ref, ours), gts):
        with pytest.raises(Exception) as caught:
            module.LVISEval(gt, module.LVISResults(gt, str(path)), "bbox").run()
        failures.append(type(caught.value))
    assert failures == [TypeError, TypeError]


def run_both(gts, dt, iou_type, **params):
    """Both evaluations, run; with the printed summary and the log records of each."""
    out = []
    for module, gt in zip((ref, ours), gts):
        ev = module.LVISEval(gt, copy.deepcopy(dt), iou_type)
        for k, v in params.items():
            setattr(ev.params, k, v)
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            ev.run()
            ev.print_results()
        out.append((ev, buf.getvalue()))
    return out


def check_evaluation(r, o, eval_imgs=True):
    same(vars(r.params), vars(o.params))
    assert list(r.eval) == list(o.eval)
    for key in ("counts", "precision", "recall", "dt_pointers"):
        same(r.eval[key], o.eval[key], key)
    assert o.eval["params"] is o.params and isinstance(o.eval["date"], str)
    same(r.results, o.results)
    assert o.get_results() is o.results
    if eval_imgs:
        same(r.eval_imgs, o.eval_imgs, "eval_imgs")


@pytest.mark.parametrize("iou_type,kind", [("bbox", "bbox"), ("segm", "bbox"), ("segm", "segm"), ("segm", "both")])
def test_evaluation_matches_reference(gts, logs, iou_type, kind):
    logs()
    # Box results exceed the 300-per-image cap of LVISResults in many images; masks are costlier to compare.
    (r, r_out), (o, o_out) = run_both(gts, results(kind, per_image=(150, 420) if kind == "bbox" else (0, 80)), iou_type)
    records = logs()
    assert records[: len(records) // 2] == records[len(records) // 2 :]
    assert r_out == o_out and r_out.count("\n") == 13
    check_evaluation(r, o)
    if kind == "bbox":
        same(r.ious, o.ious, "ious")


@pytest.mark.parametrize(
    "params",
    [
        {"cat_ids": [5, 3, 3, 852, 1], "img_ids": [565853, 266409, 266409]},  # kept as given / de-duplicated
        {"iou_thrs": np.array([0.3, 0.5, 0.8]), "max_dets": 1000},  # AP75 has nothing: the int -1
        {"area_rng_lbl": ["all", "medium", "small", "large"]},
        {"max_dets": 20},  # only names the cap: the values stay those of LVISResults' cap
        {"imgIds": [565853], "useCats": 0, "maxDets": [100]},  # camelCase, as mmdetection sets them: ignored
    ],
)
def test_changed_params(gts, params):
    (r, r_out), (o, o_out) = run_both(gts, results("bbox", per_image=(0, 40)), "bbox", **params)
    assert r_out == o_out
    check_evaluation(r, o)


def test_per_image_methods(gts):
    dt = results("bbox", per_image=(0, 40))
    r, o = ref.LVISEval(gts[0], copy.deepcopy(dt), "segm"), ours.LVISEval(gts[1], dt, "segm")
    r.evaluate()
    o.evaluate()
    found = [e for e in r.eval_imgs if e is not None][::97]
    assert len(found) > 20
    for e in found:
        img, cat = e["image_id"], e["category_id"]
        same(r.compute_iou(img, cat), o.compute_iou(img, cat))
        for rng in ([0, 1e10], [500, 5000]):
            same(r.evaluate_img(img, cat, rng), o.evaluate_img(img, cat, rng))


def test_reference_faults_behave_soundly(gts, logs):
    gt = gts[1]
    # An empty result list: the reference raises IndexError; here nothing is found (0 where there is ground truth).
    with pytest.raises(IndexError):
        ref.LVISResults(gts[0], [])
    ev = ours.LVISEval(gt, [], "bbox")
    ev.run()
    assert ev.results["AP"] == 0 and set(ev.results.values()) <= {0, -1} and len(ev.results) == 13
    # Segmentation results as polygons: the reference only takes RLEs there.
    poly = results("both", per_image=(0, 10))
    for d in poly:
        del d["bbox"]
    with pytest.raises(TypeError):
        ref.LVISResults(gts[0], copy.deepcopy(poly))
    rle = ours.LVISResults(gt, results("segm", per_image=(0, 10)))
    same([a["area"] for a in ours.LVISResults(gt, poly).anns.values()], [a["area"] for a in rle.anns.values()])
    # use_cats=0: the reference fails in summarize; here the frequency-group lines are -1.
    dt = results("bbox", per_image=(0, 20))
    r = ref.LVISEval(gts[0], copy.deepcopy(dt), "bbox")
    r.params.use_cats = 0
    with pytest.raises(IndexError):
        r.run()
    o = ours.LVISEval(gt, dt, "bbox")
    o.params.use_cats = 0
    o.run()
    np.testing.assert_array_equal(o.eval["precision"], r.eval["precision"])
    assert [o.results[k] for k in ("APr", "APc", "APf")] == [-1, -1, -1]
    # accumulate() before evaluate(): the reference's warning, then a clear error rather than a TypeError.
    logs()
    with pytest.raises(RuntimeError, match="evaluate"):
        ours.LVISEval(gt, dt, "bbox").accumulate()
    assert ("lvis.eval", "WARNING", "Please run evaluate first.") in logs()


def test_install_makes_lvis_imports_resolve_here(tmp_path):
    script = f"""
import sys
import vantorel.compat
vantorel.compat.install_as_lvis()
import lvis
from lvis import LVIS, LVISEval, LVISResults
from lvis.eval import Params
import lvis.results, lvis.lvis
from vantorel._conventions import segmentation_rle
from vantorel.compat import lvis as ours
assert (LVIS, LVISEval, LVISResults, Params) == (ours.LVIS, ours.LVISEval, ours.LVISResults, ours.Params)
assert lvis.results.LVISResults is ours.LVISResults and lvis.lvis.LVIS is ours.LVIS
ev = LVISEval({str(GT)!r}, [], "bbox")
print(type(ev).__module__, len(ev.params.cat_ids))
"""
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=False)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["vantorel.compat.lvis.eval", "1230"]
    # The reference's import formats the root logger; the warning a user sees looks the same.
    assert proc.stderr.startswith("[") and "] lvis.results WARNING: Assuming user provided" in proc.stderr


def test_flagged_ground_truths_empty_areas_and_paths(tmp_path, logs):
    # Ground truths flagged "ignore" or with areas of 0 or below, degenerate
    # boxes among the results (the reference leaves annotations whose area is
    # not inside (0, inf) out on both sides), both sides given as paths.
    dataset = copy.deepcopy(DATASET)
    for i, a in enumerate(dataset["annotations"]):
        if i % 7 == 0:
            a["ignore"] = 1
        elif i % 11 == 0:
            a["area"] = 0.0 if i % 2 else -5.0
    dets = results("bbox", per_image=(0, 40))
    for d in dets[::13]:
        d["bbox"][2 + len(d["bbox"]) % 2] = 0.0
    gt_path, res_path = tmp_path / "gt.json", tmp_path / "res.json"
    gt_path.write_text(json.dumps(dataset))
    res_path.write_text(json.dumps(dets))
    logs()
    r = ref.LVISEval(str(gt_path), str(res_path), "bbox")
    reference_logs = logs()
    o = ours.LVISEval(gt_path, res_path, "bbox")
    assert logs() == reference_logs
    for ev in (r, o):
        ev.run()
    check_evaluation(r, o)
