"""Panoptic quality against panopticapi (panopticapi-lite, which needs NumPy < 2,
run from its own environment in a subprocess) on seeded panoptic sets, plus
the faults both refuse, the command line and the drop-in module."""

import contextlib
import importlib.util
import io
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import _vantorel_aliases
import panopticgen
import vantorel.compat
from vantorel import panoptic
from vantorel.cli import main

ROOT = Path(__file__).resolve().parent.parent
ORACLE_PYTHON = os.environ.get("VANTOREL_PANOPTIC_ORACLE") or str(ROOT / "build" / "panoptic-oracle" / "bin" / "python")
ORACLE_SCRIPT = """
import json, sys
from panopticapi.evaluation import pq_compute
try:
    r = pq_compute(*sys.argv[1:])
except BaseException as err:
    print("@@" + json.dumps({"error": type(err).__name__, "message": str(err)}), flush=True)
else:
    print("@@" + json.dumps(r), flush=True)
"""


def oracle(*args):
    """panopticapi's pq_compute(*args): its dict (category keys as str) or {"error": ...}.

    The answer is flushed at once: after a worker's error, panopticapi's pool can
    fail while the interpreter shuts down, before buffered output would be written.
    It is found after the last "@@" of the output.
    """
    if not os.path.exists(ORACLE_PYTHON):
        pytest.skip(
            f"no panopticapi environment at {ORACLE_PYTHON} (scripts/test.sh makes one; "
            "or set VANTOREL_PANOPTIC_ORACLE to a Python with panopticapi-lite and numpy<2)"
        )
    proc = subprocess.run(
        [ORACLE_PYTHON, "-c", ORACLE_SCRIPT, *map(str, args)], capture_output=True, text=True, timeout=600
    )
    # Its workers' progress lines share the pipe and can end without a newline,
    # so the answer may follow other text on its line.
    line = [ln[ln.index("@@") :] for ln in proc.stdout.splitlines() if "@@" in ln]
    assert line, proc.stderr
    return json.loads(line[-1][2:])


def as_reference(results):
    """Our dict in the oracle's JSON form: str category keys, no counts."""
    out = {k: v for k, v in results.items() if k != "per_class"}
    out["per_class"] = {str(c): {k: v[k] for k in ("pq", "sq", "rq")} for c, v in results["per_class"].items()}
    return json.loads(json.dumps(out))


def rewrite(path, fn):
    doc = json.loads(path.read_text())
    fn(doc)
    path.write_text(json.dumps(doc))


def rgba(png):
    im = Image.open(png)
    im.putalpha(200)
    im.save(png)


def as_tiff(png):
    Image.open(png).save(png, format="TIFF")  # read by content, whatever the name


def perturb_gt_areas(doc):
    for ann in doc["annotations"][::2]:
        for seg in ann["segments_info"][::3]:
            seg["area"] += 7  # the JSON area, not the pixel count, enters the union


def crowd_pairs(doc):
    # Two crowd regions of one category in an image: only the last one excuses predictions.
    for ann in doc["annotations"]:
        for seg in ann["segments_info"]:
            if seg["category_id"] in panopticgen.THING_IDS:
                seg["category_id"] = panopticgen.THING_IDS[0]
                seg["iscrowd"] = int(seg["id"] % 3 == 0)


@pytest.mark.parametrize(
    "seed, n, change",
    [
        (1, 50, None),
        (2, 37, None),
        (3, 3, None),
        (4, 40, perturb_gt_areas),
        (5, 30, crowd_pairs),
        (6, 12, "rgba"),
        (7, 12, "tiff"),
        (8, 20, "no_stuff"),
    ],
)
def test_equal_to_panopticapi(tmp_path, seed, n, change):
    gt, pred = panopticgen.write_set(tmp_path, n, seed=seed)
    if callable(change):
        rewrite(gt, change)
    elif change in ("rgba", "tiff"):
        for png in sorted((tmp_path / "pred").glob("*.png"))[::2] + sorted((tmp_path / "gt").glob("*.png"))[1::3]:
            rgba(png) if change == "rgba" else as_tiff(png)
    reference = oracle(gt, pred)
    if change == "no_stuff":
        rewrite(gt, lambda d: d["categories"].__setitem__(slice(None), [dict(c, isthing=1) for c in d["categories"]]))
        # panopticapi divides by zero averaging no category; we give 0 with n = 0.
        assert oracle(gt, pred)["error"] == "ZeroDivisionError"
        reference["Things"], reference["Stuff"] = reference["All"], {"pq": 0.0, "sq": 0.0, "rq": 0.0, "n": 0}
    ours = panoptic.pq_compute(gt, pred)
    assert as_reference(ours) == reference
    counts = np.array([[v["tp"], v["fp"], v["fn"]] for v in ours["per_class"].values()])
    assert counts.sum() > 0


def test_folders_and_batches(tmp_path):
    gt, pred = panopticgen.write_set(tmp_path / "set", 2 * panoptic.BATCH + 3, seed=9)
    shutil.move(tmp_path / "set" / "pred", tmp_path / "maps")
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        ours = panoptic.pq_compute(str(gt), str(pred), pred_folder=tmp_path / "maps", progress=True, workers=3)
    assert as_reference(ours) == oracle(gt, pred, tmp_path / "set" / "gt", tmp_path / "maps")
    assert f"{2 * panoptic.BATCH + 3}/{2 * panoptic.BATCH + 3} images" in err.getvalue()


def _first_pred(doc):
    return next(a for a in doc["annotations"] if a["segments_info"])


FAULTS = {
    # name: (change to the files, words our message holds, does panopticapi refuse it too)
    "segment_not_in_json": (
        lambda r: rewrite(r / "pred.json", lambda d: _first_pred(d)["segments_info"].pop()),
        ["is in the PNG but not in"],
        True,
    ),
    "segment_not_in_png": (
        lambda r: rewrite(
            r / "pred.json", lambda d: _first_pred(d)["segments_info"].append({"id": 77, "category_id": 1})
        ),
        ["segment 77 is in the JSON but not in"],
        True,
    ),
    "unknown_category": (
        lambda r: rewrite(r / "pred.json", lambda d: _first_pred(d)["segments_info"][0].update(category_id=4242)),
        ["unknown category_id"],
        True,
    ),
    "wrong_size": (
        lambda r: Image.new("RGB", (5, 4)).save(sorted((r / "pred").glob("*.png"))[1]),
        ["segment map of size 5x4"],
        True,
    ),
    "no_prediction": (lambda r: rewrite(r / "pred.json", lambda d: d["annotations"].pop()), ["no prediction"], True),
    "missing_png": (lambda r: sorted((r / "pred").glob("*.png"))[2].unlink(), ["No such file"], True),
    "not_an_image": (
        lambda r: sorted((r / "gt").glob("*.png"))[0].write_bytes(b"\x89PNG\r\n\x1a\nrubbish"),
        ["cannot read the segment map"],
        True,
    ),
    "duplicate_image": (
        lambda r: rewrite(r / "gt.json", lambda d: d["annotations"].append(d["annotations"][0])),
        ["has two annotations"],
        False,
    ),
}


@pytest.mark.parametrize("name", FAULTS)
def test_faults_name_file_and_segment(tmp_path, name):
    change, words, reference_refuses = FAULTS[name]
    gt, pred = panopticgen.write_set(tmp_path, 6, seed=11, empty_share=0)
    change(tmp_path)
    with pytest.raises((panoptic.PanopticFormatError, OSError)) as info:
        panoptic.pq_compute(gt, pred)
    message = str(info.value)
    assert all(w in message for w in words), message
    assert str(tmp_path) in message or info.value.filename  # the file is named
    assert ("error" in oracle(gt, pred)) == reference_refuses


def test_png_filters_decode_like_pillow():
    rng = np.random.default_rng(0)
    prev = np.zeros(30, np.uint8)
    for kind in range(5):
        raw = rng.integers(0, 256, 30, dtype=np.uint8)
        # Our decoder through a one-row map: filter `kind` applied by hand, then compared with the original.
        row = raw.astype(np.int32)
        left = np.concatenate([np.zeros(3, np.int32), row[:-3]])
        up, upleft = prev.astype(np.int32), np.zeros(30, np.int32)
        if kind == 1:
            row = row - left
        elif kind == 2:
            row = row - up
        elif kind == 3:
            row = row - (left + up) // 2
        elif kind == 4:
            p = left + up - upleft
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - upleft)
            row = row - np.where((pa <= pb) & (pa <= pc), left, np.where(pb <= pc, up, upleft))
        data = bytes([kind]) + (row % 256).astype(np.uint8).tobytes()
        ids = raw.reshape(10, 3).astype(np.int64) @ [1, 256, 65536]
        segs = np.array([[i, 0] for i in np.unique(ids)], np.int64).reshape(-1, 2)
        out = panoptic._zerlin.panoptic_match(
            [(1, 10, raw.tobytes(), 3, False, data, 3, True)],
            np.zeros((0, 3), np.int64),
            np.zeros(0),
            np.array([0]),
            segs,
            np.array([len(segs)]),
        )
        assert out[7] is None and len(out[5]) == len(segs)  # every id found: the row decoded exactly
    bad = panoptic._zerlin.panoptic_match(
        [(1, 10, raw.tobytes(), 3, False, b"\x05" + bytes(30), 3, True)],
        np.zeros((0, 3), np.int64),
        np.zeros(0),
        np.array([0]),
        np.zeros((0, 2), np.int64),
        np.array([0]),
    )
    assert bad[7] == (0, "pred_map_corrupt", 0)


def test_command_line(tmp_path, capsys):
    gt, pred = panopticgen.write_set(tmp_path, 8, seed=12)
    reference = panoptic.pq_compute(gt, pred)
    assert main(["--panoptic", str(gt), str(pred), "--per-category"]) == 0
    out = capsys.readouterr().out
    assert panoptic.format_table(reference) in out and "stuff90" in out
    assert main(["--panoptic", str(gt), str(pred), "--json", "-"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["All"] == reference["All"] and len(doc["per_class"]) == len(reference["per_class"])
    assert main(["--panoptic", str(gt), str(tmp_path / "missing.json")]) == 1
    assert "missing.json" in capsys.readouterr().err


def test_drop_in_module(tmp_path, capsys):
    gt, pred = panopticgen.write_set(tmp_path, 10, seed=13)
    vantorel.compat.install_as_panopticapi()
    try:
        from panopticapi.evaluation import PQStat, pq_compute
        from panopticapi.utils import id2rgb, rgb2id

        results = pq_compute(str(gt), str(pred))
        printed = capsys.readouterr().out
        reference = oracle(gt, pred)
        assert results == reference | {"per_class": {int(k): v for k, v in reference["per_class"].items()}}
        assert panoptic.format_table(results) in printed and f"JSON file: {pred}" in printed
        assert rgb2id(id2rgb(np.array([[0, 197121]]))).tolist() == [[0, 197121]]
        stat = PQStat()
        stat[1].tp, stat[1].fn, stat[1].iou = 2, 2, 1.5
        stat[2].fp = 1
        cats = {1: {"isthing": 1}, 2: {"isthing": 0}, 3: {"isthing": 0}}
        assert stat.pq_average(cats, None)[0] == {"pq": 0.25, "sq": 0.375, "rq": (2 / 3) / 2, "n": 2}
        assert stat.pq_average(cats, False)[1] == {
            2: {"pq": 0.0, "sq": 0.0, "rq": 0.0},
            3: {"pq": 0.0, "sq": 0.0, "rq": 0.0},
        }
        assert importlib.util.find_spec("panopticapi.evaluation") is not None
    finally:
        _vantorel_aliases.uninstall("panopticapi")
        for name in ("panopticapi", "panopticapi.evaluation", "panopticapi.utils"):
            sys.modules.pop(name, None)
