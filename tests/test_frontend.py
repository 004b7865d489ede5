"""The evaluation front end and command line on the bundled COCO sample."""

import json
import math
import random
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from vantorel import Params, evaluate

DATA = Path(__file__).resolve().parent.parent / "data"
GT = DATA / "instances_val2014_100.json"
BBOX = DATA / "instances_val2014_fakebbox100_results.json"

# The twelve summary values of the reference evaluation (data/README.md).
REFERENCE_BBOX = [
    0.5045806987249628,
    0.6969727247299577,
    0.5729816669904824,
    0.5856257209410443,
    0.5193996948036719,
    0.5013978986347466,
    0.38681277964578054,
    0.5936795762842003,
    0.595352982877607,
    0.6398109626113442,
    0.5664205978994309,
    0.5642905982905982,
]


def test_bbox_sample_matches_reference_table():
    result = evaluate(GT, BBOX, "bbox")
    assert result.stats.tolist() == REFERENCE_BBOX


def test_loaded_objects_and_paths_agree():
    with open(GT) as f:
        dataset = json.load(f)
    with open(BBOX) as f:
        dets = json.load(f)
    before = json.dumps(dets)
    result = evaluate(dataset, dets, "bbox")
    assert result.stats.tolist() == REFERENCE_BBOX
    assert json.dumps(dets) == before  # the caller's result dicts are not changed
    rows = np.array([[d["image_id"], *d["bbox"], d["score"], d["category_id"]] for d in dets])
    assert evaluate(dataset, rows, "bbox").stats.tolist() == REFERENCE_BBOX


def test_summary_matches_pycocotools_on_custom_max_dets():
    cocoeval = pytest.importorskip("pycocotools.cocoeval")
    from pycocotools.coco import COCO

    gt = COCO(str(GT))
    dt = gt.loadRes(str(BBOX))
    ref = cocoeval.COCOeval(gt, dt, "bbox")
    ref.params.maxDets = [5, 20, 50]
    ref.evaluate()
    ref.accumulate()
    ref.summarize()
    p = Params.for_type("bbox")
    p.max_dets = [5, 20, 50]
    result = evaluate(GT, BBOX, "bbox", params=p)
    np.testing.assert_array_equal(result.precision, ref.eval["precision"])
    np.testing.assert_array_equal(result.stats[1:], np.array(ref.stats[1:]))
    # The reference's first line asks for maxDets=100 literally and reports -1
    # when the caps differ; ours averages at the cap the other AP lines use.
    assert ref.stats[0] == -1
    p_all = ref.eval["precision"][:, :, :, 0, 2]
    assert result.stats[0] == np.mean(p_all[p_all > -1])


def test_category_table_lists_every_category():
    table = evaluate(GT, BBOX, "bbox").per_category()
    assert len(table.rows) == 80
    assert all(0.0 <= ap <= 1.0 or math.isnan(ap) for _, _, ap, *_ in table.rows)


def test_command_line_prints_twelve_lines_and_table():
    out = subprocess.run(
        [sys.executable, "-m", "vantorel", str(GT), str(BBOX), "--iou-type", "bbox", "--per-category"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.splitlines()
    assert out[0].startswith(" Average Precision  (AP) @[ IoU=0.50:0.95 | area=   all | maxDets=100 ] = 0.505")
    assert out[11].startswith(" Average Recall     (AR) @[ IoU=0.50:0.95 | area= large | maxDets=100 ] = 0.564")
    assert len(out) == 12 + 1 + 1 + 80


def test_command_line_reports_bad_input(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text("[1, 2,]")
    proc = subprocess.run([sys.executable, "-m", "vantorel", str(GT), str(bad)], capture_output=True, text=True)
    assert proc.returncode == 1
    assert "trailing comma" in proc.stderr


@pytest.mark.parametrize("zero_areas", [False, True])
@pytest.mark.parametrize("route", ["objects", "files"])
def test_lvis_mode_matches_lvis_package(route, zero_areas, tmp_path):
    lvis = pytest.importorskip("lvis")
    import contextlib
    import copy
    import io

    import evalgen

    if not hasattr(np, "float"):
        np.float = float  # noqa: NPY001 -- the reference still spells the removed alias
    path = DATA / "lvis_val_100.json"
    gt = json.loads(path.read_text())
    # Some images get more than the 300-detection cap, so the cap is exercised too.
    res = evalgen.lvis_results(11, gt, per_image=(150, 420))
    if zero_areas:
        # The protocol reads only annotations of positive, finite area: such a
        # ground truth neither counts nor verifies its category.
        for a in gt["annotations"][::7]:
            a["area"] = 0.0
        for a in gt["annotations"][3::13]:  # flagged ones are left out too, read from the file natively
            a["ignore"] = 1
        for d in res[::11]:
            d["bbox"][2] = 0.0
        # Categories out of id order: the frequency lines average in id order, as the reference does.
        random.Random(6).shuffle(gt["categories"])
    if route == "files" or zero_areas:  # the reference reads the changed ground truth from a file
        path, dt_path = tmp_path / "gt.json", tmp_path / "dt.json"
        path.write_text(json.dumps(gt))
        dt_path.write_text(json.dumps(res))
    with contextlib.redirect_stdout(io.StringIO()):
        lgt = lvis.LVIS(str(path))
        ldt = lvis.LVISResults(lgt, copy.deepcopy(res), max_dets=300)
        ref = lvis.LVISEval(lgt, ldt, iou_type="bbox")
        ref.run()
    ours = evaluate(gt, res, "bbox", lvis=True) if route == "objects" else evaluate(path, dt_path, "bbox", lvis=True)
    got = dict(zip(ours.stat_names, ours.stats))
    for key in (
        "AP",
        "AP50",
        "AP75",
        "APs",
        "APm",
        "APl",
        "APr",
        "APc",
        "APf",
        "AR@300",
        "ARs@300",
        "ARm@300",
        "ARl@300",
    ):
        assert got[key] == pytest.approx(ref.results[key], abs=0, rel=0), key


REFERENCE_SEGM = [
    0.3195452758576433,
    0.5622883972521636,
    0.29892653412086784,
    0.3873740315997838,
    0.31018272403369485,
    0.3269339071005138,
    0.2682297225711534,
    0.41544868114906375,
    0.4168394992198818,
    0.4694498622754236,
    0.37675922666197265,
    0.3814715099715099,
]


def test_segm_sample_matches_reference_table():
    result = evaluate(GT, DATA / "instances_val2014_fakesegm100_results.json", "segm")
    # The table came from an older reference build; today's pycocotools gives
    # APs one unit in the last place below it, and so do we (the next test
    # compares with pycocotools itself exactly).
    np.testing.assert_allclose(result.stats, REFERENCE_SEGM, rtol=0, atol=1e-12)


@pytest.mark.parametrize("with_boxes", [True, False])
def test_segm_results_completed_like_the_reference_loader(with_boxes):
    # Results that carry a box get the box's area there (the first result
    # decides), those without get the mask's: area ranges then differ.
    import contextlib
    import copy
    import io

    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    with open(GT) as f:
        dataset = json.load(f)
    with open(DATA / "instances_val2014_fakesegm100_results.json") as f:
        dets = json.load(f)
    rng = np.random.default_rng(3)
    for d in dets:
        if with_boxes:
            d["bbox"] = [float(v) for v in rng.uniform(0, 200, 4).round(2)]
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO()
        gt.dataset = copy.deepcopy(dataset)
        gt.createIndex()
        ref = COCOeval(gt, gt.loadRes(copy.deepcopy(dets)), "segm")
        ref.evaluate()
        ref.accumulate()
        ref.summarize()
    ours = evaluate(dataset, dets, "segm")
    np.testing.assert_array_equal(ours.precision, ref.eval["precision"])
    np.testing.assert_array_equal(ours.stats, np.array(ref.stats))


def test_boundary_agrees_with_faster_coco_eval_where_definitions_agree():
    fce = pytest.importorskip("faster_coco_eval")
    import contextlib
    import copy
    import io
    import math

    with open(GT) as f:
        dataset = json.load(f)
    with open(DATA / "instances_val2014_fakesegm100_results.json") as f:
        dets = json.load(f)
    # Both erode a zero-bordered mask n times, n = ratio x image diagonal
    # rounded; where that product is exactly half-way, we round away from
    # zero and the peer rounds to even, so such images are left out here
    # (their boundary masks are checked against a NumPy erosion elsewhere).
    half = {im["id"] for im in dataset["images"] if (0.02 * math.hypot(im["height"], im["width"])) % 1 == 0.5}
    assert half  # the sample has some, so the exclusion is exercised
    dataset["images"] = [im for im in dataset["images"] if im["id"] not in half]
    dataset["annotations"] = [a for a in dataset["annotations"] if a["image_id"] not in half]
    dets = [d for d in dets if d["image_id"] not in half]
    with contextlib.redirect_stdout(io.StringIO()):
        gt = fce.COCO()
        gt.dataset = copy.deepcopy(dataset)
        gt.createIndex()
        ref = fce.COCOeval_faster(gt, gt.loadRes(copy.deepcopy(dets)), "boundary")
        ref.evaluate()
        ref.accumulate()
    ours = evaluate(dataset, dets, "boundary")
    np.testing.assert_array_equal(ours.recall, ref.eval["recall"])
    # The peer's precision differs from the reference formula's in the last
    # bit (1.0 where tp / (tp + fp + eps) gives 1 - 2**-52); ours follows it.
    np.testing.assert_allclose(ours.precision, ref.eval["precision"], rtol=0, atol=1e-15)


# ---------------------------------------------------------------- files as compact handles


def route_case(case):
    """(ground truth, results, iou type, lvis). Every results file of these
    loads as a handle, boxes or not."""
    import evalgen

    if case.startswith("keypoints"):
        gt = evalgen.dataset(21, keypoints=True)
        dets = evalgen.results(22, gt, keypoints=True)
        if case == "keypoints-boxes":
            for d in dets:
                xs = d["keypoints"][0::3]
                d["bbox"] = [min(xs), 5.0, max(xs) - min(xs), 60.0]
        return gt, dets, "keypoints", False
    if case == "lvis":
        gt = json.loads((DATA / "lvis_val_100.json").read_text())
        # "ignore" flags of every JSON kind: the file's columns take them as the dicts' truth.
        flags = [1, True, 0, None, "", "x", [], [0], {}, {"a": 1}, 0.0, -0.0, 2.5, False, " ", [[]]]
        for k, a in enumerate(gt["annotations"][::3]):
            a["ignore"] = flags[k % len(flags)]
        return gt, evalgen.lvis_results(12, gt, per_image=(150, 420)), "bbox", True
    gt = json.loads(GT.read_text())
    if case.startswith("bbox"):
        dets = json.loads(BBOX.read_text())
        return gt, dets, "bbox", False
    dets = json.loads((DATA / "instances_val2014_fakesegm100_results.json").read_text())
    if case == "segm-boxes":
        rng = np.random.default_rng(4)
        for d in dets:
            d["bbox"] = [float(v) for v in rng.uniform(0, 200, 4).round(2)]
    return gt, dets, "segm", False


def written_as_floats(dets):
    """The results as some writers put them: ids as whole floats, float crowd flags."""
    out = []
    for i, d in enumerate(dets):
        d = dict(d, image_id=float(d["image_id"]), category_id=float(d["category_id"]), iscrowd=0.0)
        if i % 2:
            d["id"] = float(i + 7)  # the reference loader renumbers results
        out.append(d)
    return out


@pytest.mark.parametrize(
    "case",
    [
        "bbox",
        "bbox-two-annotation-arrays",
        "segm",
        "segm-boxes",
        "segm-floats",
        "keypoints",
        "keypoints-boxes",
        "keypoints-floats",
        "lvis",
    ],
)
def test_files_give_the_arrays_of_loaded_lists(tmp_path, case):
    import copy

    from vantorel import _zerlin
    from vantorel.loading import ground_truth_side as _ground_truth
    from vantorel.loading import results_side as _results_side

    gt, dets, iou_type, lvis = route_case(case)
    gt_path, dt_path = tmp_path / "gt.json", tmp_path / "dt.json"
    text = json.dumps(gt)
    if case == "bbox-two-annotation-arrays":  # refused by the compact grammar; the last one counts
        text = '{"annotations": [],' + text[1:]
    gt_path.write_text(text)
    # Float ids have no list route of their own; the lists keep the integers.
    dt_path.write_text(json.dumps(written_as_floats(dets) if case.endswith("-floats") else dets))
    assert isinstance(_results_side(dt_path), _zerlin.CompactBbox)
    gt_handle = case != "bbox-two-annotation-arrays"
    assert isinstance(_ground_truth(gt_path, iou_type)[1], _zerlin.CompactBbox) == gt_handle

    from_lists = evaluate(copy.deepcopy(gt), copy.deepcopy(dets), iou_type, lvis=lvis)
    from_files = evaluate(gt_path, dt_path, iou_type, lvis=lvis)
    for key in ("precision", "recall", "scores", "stats"):
        np.testing.assert_array_equal(getattr(from_files, key), getattr(from_lists, key), err_msg=key)
    assert (from_files.precision > 0).any()
    if lvis:
        return  # test_lvis_mode_matches_lvis_package holds the list route to the lvis package
    import contextlib
    import io

    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    with contextlib.redirect_stdout(io.StringIO()):
        ref_gt = COCO(str(gt_path))
        ref = COCOeval(ref_gt, ref_gt.loadRes(str(dt_path)), iou_type)
        ref.evaluate()
        ref.accumulate()
        ref.summarize()
    np.testing.assert_array_equal(from_files.precision, ref.eval["precision"])
    np.testing.assert_array_equal(from_files.stats, np.array(ref.stats))


def test_handles_and_arrays_as_results():
    from vantorel import _zerlin

    _, handle = _zerlin.load_compact_bbox(str(BBOX), results=True)
    assert evaluate(GT, handle, "bbox").stats.tolist() == REFERENCE_BBOX
    rows = handle.array_rows()
    for given in (rows, _zerlin.load_compact_array(rows)):
        assert evaluate(GT, given, "bbox").stats.tolist() == REFERENCE_BBOX
    # float32 rows are widened exactly as the dicts made from them would be.
    narrow = rows.astype(np.float32)
    dicts = [
        {"image_id": int(r[0]), "bbox": r[1:5], "score": r[5], "category_id": int(r[6])}
        for r in narrow.astype(np.float64).tolist()
    ]
    np.testing.assert_array_equal(evaluate(GT, narrow, "bbox").precision, evaluate(GT, dicts, "bbox").precision)
    # LVIS selection from array rows agrees with the one from dicts.
    with_array = evaluate(GT, rows, "bbox", lvis=True)
    with_list = evaluate(GT, handle.annotations(), "bbox", lvis=True)
    np.testing.assert_array_equal(with_array.precision, with_list.precision)


def test_command_line_on_files_the_compact_grammar_refuses(tmp_path):
    dets = json.loads(BBOX.read_text())
    for d in dets:
        d["iscrowd"] = 0.0  # the reference loader replaces it by 0
    refused = tmp_path / "dt.json"
    refused.write_text(json.dumps(dets))
    gt = json.loads(GT.read_text())
    gt["annotations"].append(dict(gt["annotations"][0]))  # a repeated id
    refused_gt = tmp_path / "gt.json"
    refused_gt.write_text(json.dumps(gt))

    def cli(gt_path, dt_path):
        return subprocess.run(
            [sys.executable, "-m", "vantorel", str(gt_path), str(dt_path)], capture_output=True, text=True, check=True
        ).stdout

    want = cli(GT, BBOX)
    assert want.splitlines()[0].endswith("= 0.505")
    assert cli(GT, refused) == want
    # The repeated ground truth changes the figures, but it evaluates.
    assert len(cli(refused_gt, refused).splitlines()) == 12


@pytest.mark.parametrize(
    "text, message",
    [
        ("[1, 2,]", "JSON snapshot: trailing comma at line 1 column 7"),
        ("[1, 2]", "invalid type: integer `1`, expected struct Record at line 1 column 2"),
        (
            '[{"image_id": 1, "category_id": 1, "bbox": [1, 2, 3]}]',
            "invalid length 3, expected an array of length 4 at line 1 column 52",
        ),
        (
            '[{"image_id": 1, "category_id": 1, "score": 1, "bbox": [1, 2, 3, 4]}, {"image_id": 1, "category_id": 1}]',
            "missing field `bbox` at line 1 column 103",
        ),
    ],
)
def test_refused_results_report_the_more_useful_error(tmp_path, text, message):
    path = tmp_path / "dt.json"
    path.write_text(text)
    with pytest.raises(ValueError) as err:
        evaluate(GT, path, "bbox")
    assert str(err.value) == message


@pytest.mark.parametrize("route", ["path", "list"])
def test_results_for_unknown_images_are_refused(tmp_path, route):
    with open(BBOX) as f:
        dets = json.load(f)
    dets.append({"image_id": 987654321, "category_id": 1, "bbox": [1, 2, 3, 4], "score": 0.5})
    if route == "path":
        path = tmp_path / "res.json"
        path.write_text(json.dumps(dets))
        dets = path
    with pytest.raises(ValueError, match="results name images that the ground truth does not have"):
        evaluate(GT, dets, "bbox")


def test_command_line_names_the_file_that_failed(tmp_path):
    missing = tmp_path / "missing.json"
    proc = subprocess.run([sys.executable, "-m", "vantorel", str(GT), str(missing)], capture_output=True, text=True)
    assert proc.returncode == 1
    assert "(os error 2)" in proc.stderr and f"results file '{missing}'" in proc.stderr


@pytest.mark.parametrize("route", ["evaluate", "compat", "streaming"])
def test_results_with_non_finite_literals_read_like_the_reference(tmp_path, route):
    # Python's json writes NaN/Infinity (a diverged model's scores) and the
    # reference loader reads them; so do we, with the reference's numbers.
    import contextlib
    import io

    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    from vantorel import StreamingEvaluator, compat

    dets = json.loads((DATA / "instances_val2014_fakebbox100_results.json").read_text())
    for i, d in enumerate(dets[:60]):
        d["score"] = [float("nan"), float("inf"), -float("inf")][i % 3]
    path = tmp_path / "results.json"
    path.write_text(json.dumps(dets))
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO(str(GT))
        ref = COCOeval(gt, gt.loadRes(str(path)), "bbox")
        ref.evaluate(), ref.accumulate(), ref.summarize()
        if route == "evaluate":
            stats = evaluate(GT, path).stats
        elif route == "compat":
            cgt = compat.COCO(str(GT))
            ours = compat.COCOeval(cgt, cgt.loadRes(str(path)), "bbox")
            ours.evaluate(), ours.accumulate(), ours.summarize()
            stats = ours.stats
        else:
            ev = StreamingEvaluator(GT)
            ev.update(path)
            stats = ev.compute().stats
    np.testing.assert_array_equal(stats, ref.stats)


@pytest.mark.parametrize(
    ("change", "in_list", "in_file"),
    [
        (lambda d: d[3].update(score=None), "result 3 has a null 'score'", r"null 'score' .* at line 1 column \d+"),
        (lambda d: d[3].update(bbox=None), "result 3 has a null 'bbox'", "result 3 has a null 'bbox'"),
        (lambda d: d[3].pop("bbox"), "result 3 has no 'bbox'", "missing field `bbox` at line 1"),
        (lambda d: d[0].pop("bbox"), "result 0 has no 'bbox'", "missing field `bbox` at line 1"),
    ],
)
def test_results_with_null_or_missing_fields_are_refused(tmp_path, change, in_list, in_file):
    dets = json.loads(BBOX.read_text())[:20]
    change(dets)
    with pytest.raises(ValueError, match=in_list):
        evaluate(GT, dets, "bbox")
    path = tmp_path / "results.json"
    path.write_text(json.dumps(dets))
    with pytest.raises(ValueError, match=in_file):
        evaluate(GT, path, "bbox")


def test_null_score_in_a_file_is_found_by_the_reader(tmp_path):
    # Large enough to be read in chunks; a "score": null inside another
    # member is no score, and the refusal names the first real one's place.
    dets = json.loads(BBOX.read_text()) * 120
    dets[5] = dict(dets[5], extra={"score": None})
    path = tmp_path / "results.json"
    path.write_text(json.dumps(dets, indent=1))
    assert path.stat().st_size > 4 << 20
    evaluate(GT, path, "bbox")
    k = len(dets) * 2 // 3
    dets[k] = dict(dets[k], score=None)
    text = json.dumps(dets, indent=1)
    path.write_text(text)
    start = text.index('"score": null', text.index('"score": null') + 1)  # past the nested one
    line, column = text.count("\n", 0, start) + 1, start - text.rfind("\n", 0, start)
    with pytest.raises(ValueError, match=f"null 'score' .* at line {line} column {column}\\b"):
        evaluate(GT, path, "bbox")


def test_array_boxes_are_taken_as_values():
    dets = json.loads(BBOX.read_text())
    as_arrays = [dict(d, bbox=np.asarray(d["bbox"])) for d in dets]
    np.testing.assert_array_equal(evaluate(GT, as_arrays, "bbox").precision, evaluate(GT, dets, "bbox").precision)
