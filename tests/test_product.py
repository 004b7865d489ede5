"""The package as people use it: input errors, ids as they come, result tables, the command line, typing."""

import contextlib
import copy
import io
import json
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vantorel
import vantorel.cli
from vantorel import Params, evaluate

DATA = Path(__file__).resolve().parent.parent / "data"
GT = DATA / "instances_val2014_100.json"
BBOX = DATA / "instances_val2014_fakebbox100_results.json"


@pytest.fixture(scope="module")
def sample():
    return json.loads(GT.read_text()), json.loads(BBOX.read_text())


def pycocotools_eval(gt, dets, iou_type="bbox", max_dets=None):
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    with contextlib.redirect_stdout(io.StringIO()):
        coco = COCO()
        coco.dataset = copy.deepcopy(gt)
        coco.createIndex()
        ref = COCOeval(coco, coco.loadRes(copy.deepcopy(dets)), iou_type)
        if max_dets:
            ref.params.maxDets = max_dets
        ref.evaluate()
        ref.accumulate()
        ref.summarize()
    return ref


# ---------------------------------------------------------------- input errors


def _without(records, key):
    return [{k: v for k, v in r.items() if k != key} for r in records]


ERROR_CASES = {
    # name: (make ground truth, make results, message fragment)
    "gt without annotations": (
        lambda g, d: {k: v for k, v in g.items() if k != "annotations"},
        None,
        "the ground truth has no 'annotations'",
    ),
    "gt without images": (
        lambda g, d: {k: v for k, v in g.items() if k != "images"},
        None,
        "the ground truth has no 'images'",
    ),
    "gt without categories": (
        lambda g, d: {k: v for k, v in g.items() if k != "categories"},
        None,
        "the ground truth has no 'categories'",
    ),
    "results an object": (None, lambda g, d: {"detections": d}, "must be a JSON array of detections"),
    "results swapped in": (None, lambda g, d: g, "the wrong way round"),
    "gt swapped in": (lambda g, d: d, None, "the wrong way round"),
    "no score": (None, lambda g, d: _without(d, "score"), "has no 'score'"),
    "no category_id": (None, lambda g, d: d[:5] + _without(d[5:], "category_id"), "category_id"),
    "no image_id": (None, lambda g, d: _without(d, "image_id"), "image_id"),
    "gt annotation without image_id": (
        lambda g, d: dict(g, annotations=g["annotations"][:5] + _without(g["annotations"][5:6], "image_id")),
        None,
        "annotations[5] has no 'image_id'",
    ),
}


@pytest.mark.parametrize("route", ["file", "object"])
@pytest.mark.parametrize("case", ERROR_CASES)
def test_unusable_input_is_a_clear_error_naming_file_and_field(tmp_path, sample, case, route):
    make_gt, make_dets, fragment = ERROR_CASES[case]
    gt, dets = sample
    gt = make_gt(gt, dets) if make_gt else gt
    dets = make_dets(sample[0], dets) if make_dets else dets
    if route == "file":
        (tmp_path / "gt.json").write_text(json.dumps(gt))
        (tmp_path / "res.json").write_text(json.dumps(dets))
        gt, dets = tmp_path / "gt.json", tmp_path / "res.json"
    with pytest.raises(ValueError) as err:
        evaluate(gt, dets, "bbox")
    assert fragment in str(err.value)
    if route == "file":
        which = "ground-truth" if make_gt else "results"
        assert any(f"{which} file '{tmp_path}" in note for note in err.value.__notes__)


def test_score_missing_beside_zero_scores_in_a_file(tmp_path, sample):
    # The file's handle reads both as 0.0; the file itself tells them apart.
    _, dets = sample
    dets = copy.deepcopy(dets)
    dets[3]["score"] = 0.0
    path = tmp_path / "res.json"
    path.write_text(json.dumps(dets))
    evaluate(GT, path)
    del dets[7]["score"]
    path.write_text(json.dumps(dets))
    with pytest.raises(ValueError, match="result 7 has no 'score'"):
        evaluate(GT, path)


@pytest.mark.parametrize("route", ["file", "list"])
def test_lvis_mode_refuses_results_for_unknown_images(tmp_path, sample, route):
    dets = sample[1] + [{"image_id": 987654321, "category_id": 1, "bbox": [1, 2, 3, 4], "score": 0.5}]
    if route == "file":
        (tmp_path / "res.json").write_text(json.dumps(dets))
        dets = tmp_path / "res.json"
    with pytest.raises(ValueError, match=r"results name images that the ground truth does not have.*987654321"):
        evaluate(GT, dets, "bbox", lvis=True)


def test_params_are_copied_and_must_agree_with_iou_type(sample):
    p = Params.for_type("bbox")
    result = evaluate(GT, BBOX, params=p)
    assert p.img_ids == [] and p.cat_ids == [] and len(result.params.img_ids) == 100
    assert evaluate(GT, BBOX, "bbox", params=p).stats.tolist() == result.stats.tolist()
    with pytest.raises(ValueError, match=r"iou_type='segm' contradicts params\.iou_type='bbox'"):
        evaluate(GT, BBOX, "segm", params=p)


def test_unsorted_and_repeated_ids_in_params_match_pycocotools(sample):
    # Scores rounded to one digit tie across images: the reference breaks
    # the ties in sorted image order, whatever order the ids were given in.
    gt, dets = sample
    dets = [dict(d, score=round(d["score"], 1)) for d in dets]
    img_ids = sorted(img["id"] for img in gt["images"])[::-1]
    img_ids += img_ids[:7]
    cat_ids = [np.int64(c["id"]) for c in gt["categories"]][::-1]
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    with contextlib.redirect_stdout(io.StringIO()):
        coco = COCO()
        coco.dataset = copy.deepcopy(gt)
        coco.createIndex()
        ref = COCOeval(coco, coco.loadRes(copy.deepcopy(dets)), "bbox")
        ref.params.imgIds, ref.params.catIds = list(img_ids), list(cat_ids)
        ref.evaluate()
        ref.accumulate()
        ref.summarize()
    p = Params.for_type("bbox")
    p.img_ids, p.cat_ids = list(img_ids), list(cat_ids)
    got = evaluate(gt, dets, params=p)
    assert got.params.img_ids == sorted(set(img_ids)) and got.params.cat_ids == sorted(set(cat_ids))
    assert np.array_equal(got.precision, ref.eval["precision"])
    assert got.stats.tolist() == ref.stats.tolist()


# ---------------------------------------------------------------- ids as people have them


def relabel(gt, dets, image_id=lambda i: i, category_id=lambda c: c):
    gt = copy.deepcopy(gt)
    for img in gt["images"]:
        img["id"] = image_id(img["id"])
    for c in gt["categories"]:
        c["id"] = category_id(c["id"])
    for a in gt["annotations"]:
        a["image_id"], a["category_id"] = image_id(a["image_id"]), category_id(a["category_id"])
    dets = [dict(d, image_id=image_id(d["image_id"]), category_id=category_id(d["category_id"])) for d in dets]
    return gt, dets


@pytest.mark.parametrize(
    "image_id, category_id",
    [
        (lambda i: f"COCO_val2014_{i:012d}.jpg", lambda c: c),  # sorts as the ints do
        (float, float),
        (lambda i: i, lambda c: f"cat{c:03d}"),
        (lambda i: f"{i:08d}", float),
    ],
)
def test_string_and_float_ids_give_the_integer_results(sample, image_id, category_id):
    want = evaluate(*sample, "bbox")
    gt, dets = relabel(*sample, image_id, category_id)
    got = evaluate(gt, dets, "bbox")
    for key in ("precision", "recall", "scores", "stats"):
        np.testing.assert_array_equal(getattr(got, key), getattr(want, key), err_msg=key)
    assert got.params.img_ids == sorted(image_id(i) for i in want.params.img_ids)
    assert [row[:2] for row in got.per_category().rows] == [
        [category_id(c), name] for c, name, *_ in want.per_category().rows
    ]
    json.dumps(got.to_dict(), allow_nan=False)


def test_unpadded_string_ids_match_pycocotools(sample):
    # "10" sorts before "9": the image order (and so tie-breaking) is the
    # reference's for these very ids, not the integers'.
    gt, dets = relabel(*sample, str, str)
    ref = pycocotools_eval(gt, dets)
    got = evaluate(gt, dets)
    np.testing.assert_array_equal(got.precision, ref.eval["precision"])
    np.testing.assert_array_equal(got.stats, np.array(ref.stats))


def test_results_mixing_int_and_float_ids(sample):
    # Each image first as an int, later as a float: the distinct ids look
    # like ints, and only the engine meets the floats.
    gt, dets = sample
    seen, mixed = set(), []
    for d in dets:
        mixed.append(dict(d, image_id=float(d["image_id"])) if d["image_id"] in seen else d)
        seen.add(d["image_id"])
    assert any(isinstance(d["image_id"], float) for d in mixed)
    np.testing.assert_array_equal(evaluate(gt, mixed).precision, evaluate(gt, dets).precision)


# ---------------------------------------------------------------- result tables


def test_stats_as_dict_names(sample):
    result = evaluate(*sample)
    stats = result.stats_as_dict()
    assert list(stats) == ["AP", "AP50", "AP75", "APs", "APm", "APl", "AR1", "AR10", "AR100", "ARs", "ARm", "ARl"]
    assert list(stats.values()) == result.stats.tolist()
    p = Params.for_type("bbox")
    p.max_dets = [5, 20, 50]
    assert list(evaluate(*sample, params=p).stats_as_dict())[6:9] == ["AR5", "AR20", "AR50"]
    lvis_keys = list(evaluate(*sample, lvis=True).stats_as_dict())
    assert lvis_keys == [
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
    ]


def test_keypoint_stats_names():
    import evalgen

    gt = evalgen.dataset(21, keypoints=True)
    result = evaluate(gt, evalgen.results(22, gt, keypoints=True), "keypoints")
    assert list(result.stats_as_dict()) == ["AP", "AP50", "AP75", "APm", "APl", "AR", "AR50", "AR75", "ARm", "ARl"]
    assert result.per_category().columns == ["category_id", "name", "AP", "AP50", "AP75", "APm", "APl", "AR@20"]


@pytest.mark.parametrize("max_dets", [None, [1, 10, 300]])
def test_per_category_table_matches_pycocotools_slices(sample, max_dets):
    gt, dets = sample
    ref = pycocotools_eval(gt, dets, max_dets=max_dets)
    p = Params.for_type("bbox")
    if max_dets:
        p.max_dets = max_dets
    table = evaluate(gt, dets, params=p).per_category()
    cap = (max_dets or [100])[-1]
    assert table.columns == ["category_id", "name", "AP", "AP50", "AP75", "APs", "APm", "APl", f"AR@{cap}"]
    precision, recall = ref.eval["precision"], ref.eval["recall"]

    def mean(s):
        return np.mean(s[s > -1]) if (s > -1).any() else math.nan

    nan_seen = False
    for k, row in enumerate(table.rows):
        want = [
            mean(precision[:, :, k, 0, -1]),
            mean(precision[0, :, k, 0, -1]),
            mean(precision[5, :, k, 0, -1]),
            *(mean(precision[:, :, k, a, -1]) for a in (1, 2, 3)),
            mean(recall[:, k, 0, -1]),
        ]
        assert row[0] == ref.params.catIds[k]
        np.testing.assert_array_equal(row[2:], want)
        nan_seen |= any(math.isnan(v) for v in row[2:])
    assert nan_seen  # some category lacks ground truth of some size in the sample


# ---------------------------------------------------------------- command line


def cli(*args, **kw):
    return subprocess.run([sys.executable, "-m", "vantorel", *map(str, args)], capture_output=True, text=True, **kw)


def test_cli_json_and_csv(tmp_path, sample):
    proc = cli(GT, BBOX, "--json", "-", "--csv", tmp_path / "t.csv")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)  # nothing but the JSON on stdout
    want = evaluate(*sample)
    assert out["stats"] == want.stats_as_dict()
    assert out["params"]["max_dets"] == [1, 10, 100] and len(out["per_category"]) == 80
    lines = (tmp_path / "t.csv").read_text().splitlines()
    assert lines[0] == "category_id,name,AP,AP50,AP75,APs,APm,APl,AR@100" and len(lines) == 81
    assert lines[1].startswith(f"1,person,{want.per_category().rows[0][2]!r},")


def test_cli_parameter_options(tmp_path, sample):
    ids = [img["id"] for img in sample[0]["images"][:30]]
    (tmp_path / "ids.txt").write_text("".join(f"{i}\n" for i in ids))
    proc = cli(
        GT,
        BBOX,
        "--max-dets",
        "1,10,300",
        "--iou-thrs",
        "0.5,0.75",
        "--area-rng",
        "all=0:1e10,small=0:1024",
        "--img-ids",
        tmp_path / "ids.txt",
        "--json",
        tmp_path / "o.json",
        "--quiet",
    )
    assert proc.returncode == 0 and proc.stdout == "", proc.stderr
    p = Params.for_type("bbox")
    p.max_dets, p.iou_thrs, p.img_ids = [1, 10, 300], np.array([0.5, 0.75]), ids
    p.area_rng, p.area_labels = [[0, 1e10], [0, 1024]], ["all", "small"]
    want = evaluate(*sample, params=p)
    assert json.loads((tmp_path / "o.json").read_text())["stats"] == want.stats_as_dict()


ID_FILES = {
    "ABSENT_IDS": "[123456789]",
    "NO_IDS": "",
    "NO_IDS_JSON": " []",
    "DEEP_IDS": "[" * 100_000,
    "NULL_IDS": "[null]",
    "TRUE_IDS": "[true]",
    "NESTED_IDS": "[[1]]",
}


@pytest.mark.parametrize(
    "args, code, stderr",
    [
        (["--max-dets", "ten"], 2, "argument --max-dets"),
        (["--max-dets", ",".join(["1"] * 21)], 2, "at most 20 detection caps"),
        (["--iou-thrs", "0.5:2:0.1"], 2, "argument --iou-thrs"),
        (["--iou-thrs", "0:1:1e-7"], 2, "at most 101 IoU thresholds"),
        (["--iou-type", "mask"], 2, "argument --iou-type"),
        (["--area-rng", "all=-inf:1e10", "--json", "OUT"], 2, "finite LO <= HI"),
        (["--area-rng", "all=0:nan", "--json", "OUT"], 2, "finite LO <= HI"),
        (["--json", "-", "--csv", "-"], 2, "cannot share stdout"),
        (["--img-ids", "/nonexistent/ids.txt"], 1, "image id file"),
        (["--img-ids", "DEEP_IDS"], 1, "nested too deeply"),
        (["--img-ids", "NULL_IDS"], 1, "item 0 is null, not an image id"),
        (["--img-ids", "TRUE_IDS"], 1, "item 0 is true, not an image id"),
        (["--img-ids", "NESTED_IDS"], 1, "item 0 is [1], not an image id"),
        (["--json", "/nonexistent/out.json"], 1, "/nonexistent/out.json"),
        (["--img-ids", "ABSENT_IDS"], 3, "nothing could be evaluated"),
        # An empty list must not mean "every image", as it does to evaluate().
        (["--img-ids", "NO_IDS", "--json", "OUT"], 3, "lists no image"),
        (["--img-ids", "NO_IDS_JSON"], 3, "lists no image"),
        (["--lvis"], 0, ""),
    ],
)
def test_cli_exit_codes(tmp_path, args, code, stderr):
    for name, text in ID_FILES.items():
        (tmp_path / name).write_text(text)
    args = [str(tmp_path / a) if a in ID_FILES or a == "OUT" else a for a in args]
    proc = cli(GT, BBOX, *args)
    assert proc.returncode == code
    assert stderr in proc.stderr and "Traceback" not in proc.stderr
    if code in (1, 3):
        assert len(proc.stderr.splitlines()) == 1
    if code != 0:
        assert not (tmp_path / "OUT").exists()  # refused before anything was evaluated or written
    assert not list(tmp_path.glob(".*.part"))


def test_cli_with_closed_stdout_or_stderr(tmp_path):
    def closed(redirect, *args):
        return subprocess.run(
            ["sh", "-c", f'exec "$@" {redirect}', "sh", sys.executable, "-m", "vantorel", *map(str, args)],
            capture_output=True,
            text=True,
        )

    proc = closed(">&-", GT, BBOX, "--json", tmp_path / "o.json", "--per-category")
    assert proc.returncode == 0 and proc.stderr == ""
    assert json.loads((tmp_path / "o.json").read_text())["stats"]["AP"] > 0
    proc = closed(">&-", GT, BBOX, "--json", "-")
    assert proc.returncode == 1 and proc.stderr == "vantorel: error: standard output is closed\n"
    # With stderr closed a diagnostic must not land in the output instead.
    for args, code in [((GT, tmp_path / "missing.json"), 1), ((GT, BBOX, "--iou-thrs", "x"), 2)]:
        proc = closed("2>&-", *args)
        assert (proc.returncode, proc.stdout) == (code, "")


def test_cli_output_file_is_whole_or_absent(tmp_path, sample, monkeypatch):
    out = tmp_path / "summary.json"
    out.write_text("old")
    result = evaluate(*sample)

    def failing_dump(obj, f, **kw):
        f.write('{"stats": ')
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(vantorel.cli.json, "dump", failing_dump)
    with pytest.raises(OSError, match="No space"):
        vantorel.cli.write_json(result, str(out))
    assert out.read_text() == "old" and [p.name for p in tmp_path.iterdir()] == ["summary.json"]
    monkeypatch.undo()
    vantorel.cli.write_json(result, str(out))
    assert json.loads(out.read_text())["stats"] == result.stats_as_dict()


def test_cli_input_error_is_one_line(tmp_path):
    (tmp_path / "res.json").write_text(json.dumps([{"image_id": 42, "bbox": [1, 2, 3, 4], "category_id": 1}]))
    proc = cli(GT, tmp_path / "res.json")
    assert proc.returncode == 1
    assert proc.stderr.splitlines() == [
        f"vantorel: error: result 0 has no 'score' (every detection needs image_id, category_id and score) "
        f"(while loading the results file '{tmp_path / 'res.json'}')"
    ]


def test_cli_nothing_to_evaluate_without_detections(tmp_path):
    (tmp_path / "res.json").write_text("[]")
    proc = cli(GT, tmp_path / "res.json", "--quiet")
    assert proc.returncode == 3 and "warning: nothing could be evaluated" in proc.stderr and proc.stdout == ""


def test_cli_version_help_and_closed_stdout():
    assert cli("--version").stdout.strip() == f"vantorel {vantorel.__version__}"
    assert cli("--help").stdout.startswith("usage: vantorel ")
    # A reader that stops after one line: no traceback, no complaint.
    proc = subprocess.Popen(
        [sys.executable, "-m", "vantorel", str(GT), str(BBOX), "--per-category"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    proc.stdout.readline()
    proc.stdout.close()
    assert proc.wait() == 0
    assert proc.stderr.read() == b""


# ---------------------------------------------------------------- typing


def test_stub_matches_the_native_module():
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vantorel._zerlin"], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize(
    "module", ["params", "results", "loading", "ids", "evaluation", "cli", "_engine", "_conventions", "streaming"]
)
def test_docstring_examples_hold(module):
    import doctest
    import importlib

    outcome = doctest.testmod(importlib.import_module(f"vantorel.{module}"), optionflags=doctest.NORMALIZE_WHITESPACE)
    assert outcome.failed == 0
