"""load_compact_bbox, load_compact_array and CompactBbox against ordinary JSON loading."""

import copy
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import memcheck
import vantorel._zerlin as z

DATA = next(
    (d for d in [Path("/work/shared/data"), Path(__file__).resolve().parent.parent / "data"] if d.is_dir()), None
)
GT_FILES = ["instances_val2014_100.json", "lvis_val_100.json"]
RESULT_FILES = ["instances_val2014_fakebbox100_results.json"]

needs_data = pytest.mark.skipif(DATA is None, reason="no data files")


def write(tmp_path, doc, name="f.json"):
    path = tmp_path / name
    if isinstance(doc, bytes):
        path.write_bytes(doc)
    else:
        path.write_text(doc if isinstance(doc, str) else json.dumps(doc))
    return str(path)


def load_both(name, results):
    """json.load of a data file, and load_compact_bbox of it."""
    path = str(DATA / name)
    with open(path) as f:
        return json.load(f), z.load_compact_bbox(path, results)


def prepared(results):
    """What a front end gets from json.load followed by prepare_bbox_results."""
    results = copy.deepcopy(results)
    z.prepare_bbox_results(results)
    return results


def expected_rows(anns):
    return np.array(
        [[a["image_id"], *a["bbox"], a.get("score") or 0.0, a["category_id"]] for a in anns], dtype=np.float64
    ).reshape(-1, 7)


def load_error(tmp_path, doc, results):
    with pytest.raises(ValueError) as exc:
        z.load_compact_bbox(write(tmp_path, doc), results)
    return str(exc.value)


# ---------------------------------------------------------------- agreement on real files


@needs_data
@pytest.mark.parametrize("name", GT_FILES)
def test_ground_truth_files(name):
    want, (dataset, handle) = load_both(name, False)
    assert list(dataset) == list(want)
    assert dataset["annotations"] is None
    assert all(dataset[k] == want[k] for k in want if k != "annotations")
    assert handle.annotations() == want["annotations"]
    assert handle.annotation_count == len(want["annotations"])
    assert handle.snapshot_bytes == (DATA / name).stat().st_size
    assert handle.from_array is False
    np.testing.assert_array_equal(handle.array_rows(), expected_rows(want["annotations"]))
    n = len(want["annotations"])
    assert handle.column_bytes == n * (16 + 32 + 25)
    assert handle.lvis_annotations([1], {1}, {1: {1}}, None) is None  # not a results handle


@needs_data
@pytest.mark.parametrize("name", RESULT_FILES)
def test_result_files(name):
    want, (dataset, handle) = load_both(name, True)
    assert dataset == {}
    assert handle.annotations() == prepared(want)
    assert handle.annotations() is not handle.annotations()  # new objects every call
    np.testing.assert_array_equal(handle.array_rows(), expected_rows(want))
    assert handle.column_bytes == len(want) * 48
    images = sorted({a["image_id"] for a in want})
    assert handle.valid_images(images)
    assert not handle.valid_images(images[1:])


@needs_data
def test_segmentation_results_need_boxes():
    # Records without "bbox" are for ordinary loading.
    with pytest.raises(ValueError, match=r"^missing field `bbox` at line 1 column "):
        z.load_compact_bbox(str(DATA / "instances_val2014_fakesegm100_results.json"), results=True)


# ---------------------------------------------------------------- derived values and rules


def test_results_ids_and_areas_are_derived(tmp_path):
    dets = [
        {"image_id": 1, "category_id": 2, "bbox": [0, 0, 2, 3], "score": 0.5, "area": 100, "id": 77},
        {"image_id": 1, "category_id": 2, "bbox": [1.5, 0, 2.5, 2], "iscrowd": 1},
    ]
    _, handle = z.load_compact_bbox(write(tmp_path, dets), results=True)
    got = handle.annotations()
    assert [a["id"] for a in got] == [1, 2]
    assert [a["area"] for a in got] == [6, 5.0]
    assert [a["iscrowd"] for a in got] == [0, 0]
    assert got == prepared(dets)
    np.testing.assert_array_equal(handle.array_rows()[:, 5], [0.5, 0.0])  # no score: 0.0


def test_wide_ids(tmp_path):
    dets = [
        {"image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1]},
        {"image_id": 2**40, "category_id": -(2**35), "bbox": [0, 0, 1, 1]},
    ]
    _, handle = z.load_compact_bbox(write(tmp_path, dets), results=True)
    np.testing.assert_array_equal(handle.array_rows()[:, [0, 6]], [[1, 1], [2**40, -(2**35)]])
    assert handle.column_bytes == 2 * (48 + 16)
    assert handle.valid_images([2**40, 1]) and not handle.valid_images([1])


def test_pose_spans_counted(tmp_path):
    doc = {
        "annotations": [
            {
                "id": 1,
                "image_id": 1,
                "category_id": 1,
                "bbox": [0, 0, 1, 1],
                "keypoints": [1, 2, 2],
                "num_keypoints": 1,
            },
            {"id": 2, "image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1]},
        ],
        "images": [{"id": 1}],
    }
    dataset, handle = z.load_compact_bbox(write(tmp_path, doc))
    assert dataset == {"annotations": None, "images": [{"id": 1}]}
    assert handle.column_bytes == 2 * (48 + 16 + 25)
    assert handle.annotations() == doc["annotations"]


def test_dataset_keys_are_shared(tmp_path):
    doc = {"images": [{"id": i, "file_name": "x"} for i in range(3)], "annotations": [], "categories": [{"id": 1}]}
    dataset, _ = z.load_compact_bbox(write(tmp_path, doc))
    ids = [next(iter(d)) for d in dataset["images"] + dataset["categories"]]
    assert all(k is ids[0] for k in ids)


OK = '"image_id": 1, "category_id": 2, "bbox": [0, 0, 1, 1]'


@pytest.mark.parametrize(
    "doc, results, message",
    [
        ('[{"caption": null, %s}]' % OK, True, "caption results require caption loading at line 1 column 73"),
        ('{"annotations": [{%s}]}' % OK, False, "missing GT id at line 1 column 72"),
        (
            '{"annotations": [{"id": 1, %s}, {"id": 1, %s}]}' % (OK, OK),
            False,
            "duplicate GT ids require dictionary indexing at line 1 column 147",
        ),
        (
            '[{"image_id": 1, "category_id": 2, "bbox": [0, 0, 9007199254740993, 1]}]',
            True,
            "bbox integer exceeds exact float64 range at line 1 column 66",
        ),
        (
            '[{%s, "iscrowd": 0.0}]' % OK,
            True,
            "data did not match any variant of untagged enum Crowd at line 1 column 72",
        ),
        ('[{"image_id": 1.5}]', True, "invalid type: floating point `1.5`, expected i64 at line 1 column 17"),
        ('[{"category_id": 2, "bbox": [0, 0, 1, 1]}]', True, "missing field `image_id` at line 1 column 41"),
        ('[{"bbox": [1, 2, 3]}]', True, "invalid length 3, expected an array of length 4 at line 1 column 19"),
        ('[{"bbox": [1, 2, 3, 4, 5]}]', True, "trailing characters at line 1 column 24"),
        ("{}", True, "invalid type: map, expected bbox annotations at line 1 column 0"),
        ("[]", False, "invalid type: sequence, expected COCO dataset at line 1 column 0"),
        ('{"images": []}', False, "missing annotations at line 1 column 14"),
        (
            '{"annotations": [], "annotations": []}',
            False,
            "duplicate annotation arrays require ordinary JSON loading at line 1 column 33",
        ),
        ("[{%s}] x" % OK, True, "trailing characters at line 1 column 59"),
        ("[1, 2,]", True, "invalid type: integer `1`, expected struct Record at line 1 column 2"),
        # Skipped values are syntax-checked with the building reader's words and places.
        ('[{%s, "extra": {"a": 1,}}]' % OK, True, "trailing comma at line 1 column 75"),
        ('[{%s, "extra": [1,]}]' % OK, True, "trailing comma at line 1 column 70"),
        (
            '[{%s, "extra": "a\x01"}]' % OK,
            True,
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 69",
        ),
        ("", True, "EOF while parsing a value at line 1 column 0"),
    ],
)
def test_rule_errors(tmp_path, doc, results, message):
    assert load_error(tmp_path, doc, results) == message


def test_bbox_integer_limit(tmp_path):
    doc = '[{"image_id": 1, "category_id": 2, "bbox": [0, 0, 9007199254740992, -9007199254740992]}]'
    _, handle = z.load_compact_bbox(write(tmp_path, doc), results=True)
    np.testing.assert_array_equal(handle.array_rows()[0, 3:5], [2.0**53, -(2.0**53)])


# Plain numbers (no exponent, at most 19 digits) are read in one pass; these
# sit on either side of that path's limits, and the general reader's values
# (Python's, correctly rounded) must come out either way.
NUMBER_TEXTS = [
    "0",
    "-0",
    "-0.0",
    "7",
    "0.1",
    "290.9",
    "104.36",
    "-3.75",
    "0.30000000000000004",
    "123456789.123456789",
    "1234567890.123456789",
    "0.1234567890123456789",
    "0.12345678901234567891",
    "9007199254740991",
    "-9007199254740991.5",
    "4503599627370497.5",
    "1e2",
    "1.5E-3",
    "2.5e+1",
]


@pytest.mark.parametrize("text", NUMBER_TEXTS)
def test_box_and_score_values_are_exact(tmp_path, text):
    doc = '[{"image_id": 1, "category_id": 2, "bbox": [%s, 1, 2, %s], "score": %s}]' % (text, text, text)
    _, handle = z.load_compact_bbox(write(tmp_path, doc), results=True)
    v = float(text)  # "-0" too is a negative zero in the box columns
    np.testing.assert_array_equal(handle.array_rows()[0, [1, 4, 5]], [v, v, v])
    assert np.signbit(handle.array_rows()[0, 1:6:4]).tolist() == [np.signbit(v)] * 2


@pytest.mark.parametrize(
    "members, message",
    [
        ('"image_id": 1, "image\\u005fid": 2', "duplicate field `image_id` at line 1 column 50"),
        ('"bb\\u006fx": [0, 0, 1, 1], "image_id": 1', None),
    ],
)
def test_escaped_keys_name_their_fields(tmp_path, members, message):
    doc = (
        '[{"category_id": 2, %s, "bbox": [0, 0, 1, 1]}]' % members if message else '[{"category_id": 2, %s}]' % members
    )
    if message:
        assert load_error(tmp_path, doc, True) == message
    else:
        _, handle = z.load_compact_bbox(write(tmp_path, doc), results=True)
        np.testing.assert_array_equal(handle.array_rows(), [[1, 0, 0, 1, 1, 0, 2]])


def test_crowd_and_records_as_arrays(tmp_path):
    doc = (
        '{"annotations": [{"id": 1, %s, "iscrowd": 2}, [null, 2, 5, 6, [1, 2, 3, 4], 7.5, null, true, null, null, null]]}'
        % OK
    )
    _, handle = z.load_compact_bbox(write(tmp_path, doc))
    np.testing.assert_array_equal(handle.array_rows(), [[1, 0, 0, 1, 1, 0, 2], [5, 1, 2, 3, 4, 0, 6]])


def test_geometry_is_only_syntax_checked_at_load(tmp_path):
    dets = '[{%s, "segmentation": [[1e400, 2]]}]' % OK
    _, handle = z.load_compact_bbox(write(tmp_path, dets), results=True)
    assert handle.annotation_count == 1
    with pytest.raises(ValueError) as exc:
        handle.annotations()
    assert str(exc.value) == "JSON snapshot: number out of range at line 1 column 80"
    with pytest.raises(ValueError, match=r"^invalid unicode code point at line 1 column 78$"):
        z.load_compact_bbox(write(tmp_path, b'[{%s, "segmentation": ["\xff"]}]' % OK.encode()), True)


def test_large_results_file_loads_in_chunks_or_sequentially(tmp_path):
    rng = np.random.default_rng(0)
    dets = []
    for i in range(40000):
        d = {
            "image_id": int(rng.integers(0, 500)),
            "category_id": int(rng.integers(1, 91)),
            "bbox": [round(float(v), 2) for v in rng.uniform(0, 600, 4)],
            "score": round(float(rng.random()), 4),
        }
        if i % 3 == 0:
            d["segmentation"] = [[1.5, 2.5, 3.5, 4.5, 5.5, 6.5]]
        dets.append(d)
    plain = write(tmp_path, json.dumps(dets, indent=1), "plain.json")
    # Nested objects look like record boundaries to the chunk search.
    for d in dets[::7]:
        d["extra"] = [{"a": 1}, {"b": 2}]
    nested = write(tmp_path, json.dumps(dets, indent=1), "nested.json")
    assert Path(nested).stat().st_size > 4 << 20
    for path in (plain, nested):
        _, handle = z.load_compact_bbox(path, results=True)
        np.testing.assert_array_equal(handle.array_rows(), expected_rows(dets))
    with open(nested) as f:
        assert handle.annotations() == prepared(json.load(f))
    # Loaded for a box evaluation alone (the text freed once read): no text
    # kept, the rows still come back with every field boxes need.
    box_keys = ("id", "image_id", "category_id", "bbox", "area", "score", "iscrowd")
    _, boxes_only, _ = z.load_compact_or_objects(nested, results=True, boxes_only=True)
    assert boxes_only.snapshot_bytes == 0
    assert boxes_only.annotations() == [{k: a[k] for k in box_keys} for a in handle.annotations()]


@needs_data
def test_boxes_only_ground_truth_keeps_what_box_evaluation_reads():
    path = str(DATA / GT_FILES[0])
    dataset, handle, _ = z.load_compact_or_objects(path, boxes_only=True)
    _, with_text, _ = z.load_compact_or_objects(path)
    assert handle.snapshot_bytes == 0 and dataset["images"] and dataset["annotations"] is None
    keys = ("id", "image_id", "category_id", "bbox", "area", "iscrowd")
    assert handle.annotations() == [{k: a[k] for k in keys} for a in with_text.annotations()]
    # Results whose boxes come from their masks keep their text.
    mask_results = str(DATA / "instances_val2014_fakesegm100_results.json")
    _, segm, _ = z.load_compact_or_objects(mask_results, results=True, boxes_only=True)
    assert segm.snapshot_bytes > 0


# ---------------------------------------------------------------- arrays


def test_load_compact_array():
    handle = z.load_compact_array(np.array([[1.9, 0, 0, 2, 3, 0.5, -1.5]], dtype=np.float32))
    np.testing.assert_array_equal(handle.array_rows(), [[1.0, 0.0, 0.0, 2.0, 3.0, 0.5, -1.0]])
    assert handle.annotation_count == 1 and handle.snapshot_bytes == 0 and handle.from_array is True
    with pytest.raises(ValueError, match=r"^array-backed results are materialized from array_rows\(\)$"):
        handle.annotations()
    assert handle.lvis_annotations([1], {-1}, {1: {-1}}, None) is None
    # Any strides, float64 and float32.
    rows = np.arange(70, dtype=np.float64).reshape(10, 7)
    np.testing.assert_array_equal(z.load_compact_array(np.asfortranarray(rows)).array_rows(), rows)
    np.testing.assert_array_equal(z.load_compact_array(rows[::-2]).array_rows(), rows[::-2])
    for dtype in (">f8", ">f4", "<f4"):  # byte order as the array declares it
        np.testing.assert_array_equal(z.load_compact_array(rows.astype(dtype)).array_rows(), rows)
    empty = z.load_compact_array(np.zeros((0, 7)))
    assert empty.array_rows().shape == (0, 7) and empty.valid_images([])


@pytest.mark.parametrize(
    "data, message",
    [
        (np.array([[np.nan, 0, 0, 1, 1, 1, 1]]), "image and category IDs must be finite int64 values"),
        (np.array([[1e19, 0, 0, 1, 1, 1, 1]]), "image and category IDs must be finite int64 values"),
        (np.array([[1, 0, 0, 1, 1, 1, np.inf]]), "image and category IDs must be finite int64 values"),
        (np.zeros((3, 6)), "result arrays must have 7 columns"),
        (np.zeros((3, 7), dtype=np.int64), "expected a 2-D float64 or float32 array"),
        (np.zeros(7), "expected a 2-D float64 or float32 array"),
        ([[1, 0, 0, 1, 1, 1, 1]], "expected a 2-D float64 or float32 array"),
    ],
)
def test_load_compact_array_errors(data, message):
    with pytest.raises(ValueError) as exc:
        z.load_compact_array(data)
    assert str(exc.value) == message


def test_valid_images_on_empty_and_full():
    handle = z.load_compact_array(np.array([[3, 0, 0, 1, 1, 1, 1]], dtype=np.float64))
    assert not handle.valid_images([])
    assert handle.valid_images((3,))
    with pytest.raises(TypeError) as exc:
        handle.valid_images("3")
    assert exc.value.__notes__ == ["while processing 'images'"]


# ---------------------------------------------------------------- LVIS selection


def test_lvis_cap_applies_before_category_filter(tmp_path):
    dets = [
        {"image_id": 1, "category_id": 5, "bbox": [0, 0, 1, 1], "score": 0.9},
        {"image_id": 2, "category_id": 7, "bbox": [0, 0, 2, 2], "score": 0.1},
        {"image_id": 1, "category_id": 7, "bbox": [0, 0, 3, 3], "score": 0.8},
    ]
    _, handle = z.load_compact_bbox(write(tmp_path, dets), results=True)
    assert handle.lvis_annotations([1], {7}, {1: {5, 7}}, 1) == []
    got = handle.lvis_annotations([1], {7}, {1: frozenset({5, 7})}, None)
    assert got == [prepared(dets)[2]]
    assert got[0]["id"] == 3
    # Several images, file order, federated filter per image.
    got = handle.lvis_annotations([2, 1], {5, 7}, {1: {5}, 2: {7}}, 10)
    assert [a["id"] for a in got] == [1, 2]


def test_lvis_matches_python_selection(tmp_path):
    rng = np.random.default_rng(3)
    dets = [
        {
            "image_id": int(rng.integers(0, 20)),
            "category_id": int(rng.integers(0, 10)),
            "bbox": [1, 2, 3, float(rng.integers(1, 5))],
            "score": float(rng.choice([0.5, 0.25, rng.random()])),
        }
        for _ in range(600)
    ]
    _, handle = z.load_compact_bbox(write(tmp_path, dets), results=True)
    full = prepared(dets)
    image_ids = list(range(0, 25, 2))
    cats = set(range(0, 10, 3))
    verified = {i: set(rng.choice(10, 5, replace=False).tolist()) for i in image_ids}
    for max_det in (None, 3, 30):
        keep = set()
        for img in image_ids:
            rows = [a for a in full if a["image_id"] == img]
            if max_det is not None and len(rows) > max_det:
                rows = sorted(rows, key=lambda a: -a["score"])[:max_det]  # sorted() is stable
            keep.update(a["id"] for a in rows if a["category_id"] in cats and a["category_id"] in verified[img])
        want = [a for a in full if a["id"] in keep]
        assert handle.lvis_annotations(image_ids, cats, verified, max_det) == want


def test_lvis_argument_errors(tmp_path):
    _, handle = z.load_compact_bbox(write(tmp_path, "[{%s}]" % OK), results=True)
    with pytest.raises(TypeError) as exc:
        handle.lvis_annotations([1], [2], {1: {2}}, None)
    assert exc.value.__notes__ == ["while processing 'categories'"]
    with pytest.raises(KeyError):
        handle.lvis_annotations([1], {2}, {}, None)


def test_calls_release_what_they_make(tmp_path):
    doc = {
        "images": [{"id": i, "file_name": f"{i}.jpg"} for i in range(200)],
        "annotations": [{"id": i, "image_id": i, "category_id": 1, "bbox": [0, 0, 1, 1]} for i in range(200)],
    }
    good = write(tmp_path, doc, "good.json")
    bad = write(tmp_path, json.dumps(doc)[:-1] + ', "annotations": []}', "bad.json")  # fails after building members
    dets = write(
        tmp_path,
        [{"image_id": i % 9, "category_id": i % 4, "bbox": [0, 0, 1, 2], "score": i / 300} for i in range(300)],
        "dets.json",
    )
    _, results = z.load_compact_bbox(dets, results=True)

    def run():
        for _ in range(10):
            z.load_compact_bbox(good)
            with pytest.raises(ValueError):
                z.load_compact_bbox(bad)
            results.annotations()
            results.lvis_annotations(list(range(9)), {1, 2}, {i: {1, 2, 3} for i in range(9)}, 5)
            with pytest.raises(KeyError):
                results.lvis_annotations([0, 1], {1, 2}, {}, None)
            results.array_rows()
            z.load_compact_array(np.zeros((50, 7)))

    assert memcheck.growth(run) < 64 * 1024


# ---------------------------------------------------------------- errors of handle sides

# Rows of a handle side: one record per line, so record i stands on line i + 2.
HANDLE_ROWS, FIRST_BAD, LATER_BAD = 12000, 10000, 11000
GOOD_GEOMETRY = {"segm": [[1, 1, 9, 1, 9, 9]], "keypoints": [1, 2, 2]}
# (kind, value at row FIRST_BAD, value at row LATER_BAD, message of the first, its offending text)
HANDLE_FAULTS = {
    "segm-polygon": (
        "segm",
        [[1, 1, "x", 1]],
        {"size": [20, 20]},
        'invalid type: string "x", expected a numeric keypoint coordinate',
        '"x"',
    ),
    "segm-rle": ("segm", {"size": [20, 20]}, [[1, 1, "x", 1]], "RLE segmentation is missing counts", None),
    "keypoints-incomplete": ("keypoints", [1, 2], [1, 2, 2, 3, 4, 2], "incomplete keypoint triplet", None),
    "keypoints-count": ("keypoints", [1, 2, 2, 3, 4, 2], [1, 2], "inconsistent keypoint counts", None),
}


def handle_record(i, is_gt, kind=None, value=None):
    r = {"image_id": i + 1, "category_id": 1, "bbox": [1, 1, 8, 8]}
    r.update({"id": i + 1, "area": 64, "iscrowd": 0} if is_gt else {"score": 0.5})
    if kind == "segm":
        r["segmentation"] = value
    elif kind == "keypoints":
        r.update(keypoints=value, num_keypoints=1)
    return r


def write_faulty_side(directory, fault, is_gt):
    """A ground-truth or results file with bad geometry at rows FIRST_BAD and
    LATER_BAD; returns its path and the message the first one must raise."""
    kind, first, later, message, token = HANDLE_FAULTS[fault]
    lines = []
    for i in range(HANDLE_ROWS):
        value = first if i == FIRST_BAD else later if i == LATER_BAD else GOOD_GEOMETRY[kind]
        lines.append(json.dumps(handle_record(i, is_gt, kind, value)))
    head, tail = ('{"images": [], "annotations": [\n', "\n]}") if is_gt else ("[\n", "\n]")
    path = Path(directory) / f"{fault}-{'gt' if is_gt else 'dt'}.json"
    path.write_text(head + ",\n".join(lines) + tail)
    # Positioned at the last byte of the offending value.
    line = lines[FIRST_BAD]
    token = token or json.dumps(first)
    column = line.index(token) + len(token)
    return str(path), f"{message} at line {FIRST_BAD + 2} column {column}"


def handle_side_error(path, fault, is_gt):
    """The message of the ValueError an Evaluator raises with the file as a handle side."""
    kind = HANDLE_FAULTS[fault][0]
    _, handle = z.load_compact_bbox(path, results=not is_gt)
    # The other side is a list covering every (image, category) group, so every row is read.
    other = [handle_record(i, not is_gt) for i in range(HANDLE_ROWS)]
    images = list(range(1, HANDLE_ROWS + 1))
    args = dict(
        img_sizes={i: (20, 20) for i in images},
        img_ids=images,
        cat_ids=[1],
        iou_thrs=[0.5],
        rec_thrs=[0.0],
        max_dets=[10],
        area_rng=[[0, 1e10]],
        use_cats=True,
        iou_type=kind,
        kpt_sigmas=[0.1],
    )
    try:
        z.Evaluator(handle, other, **args) if is_gt else z.Evaluator(other, handle, **args)
    except ValueError as err:
        return str(err)
    return None


FAULT_SIDES = [(fault, is_gt) for fault in HANDLE_FAULTS for is_gt in (True, False)]

HANDLE_ERROR_SCRIPT = """
import json, sys
sys.path.insert(0, sys.argv[1])
import test_compact
cases = json.loads(sys.argv[2])
print(json.dumps([test_compact.handle_side_error(path, fault, is_gt) for path, fault, is_gt in cases]))
"""


@pytest.fixture(scope="module")
def faulty_sides(tmp_path_factory):
    directory = tmp_path_factory.mktemp("faulty")
    return {(fault, is_gt): write_faulty_side(directory, fault, is_gt) for fault, is_gt in FAULT_SIDES}


@pytest.mark.parametrize("fault, is_gt", FAULT_SIDES, ids=[f"{f}-{'gt' if g else 'dt'}" for f, g in FAULT_SIDES])
def test_handle_side_reports_the_first_bad_row(faulty_sides, fault, is_gt):
    path, want = faulty_sides[fault, is_gt]
    for _ in range(4):
        assert handle_side_error(path, fault, is_gt) == want


# A child pinned to one CPU with taskset (Linux) against one on every CPU.
on_one_cpu = pytest.mark.skipif(
    not (hasattr(os, "sched_getaffinity") and shutil.which("taskset") and len(os.sched_getaffinity(0)) >= 2),
    reason="needs Linux's taskset and two usable CPUs",
)


@on_one_cpu
def test_handle_side_errors_do_not_depend_on_cpu_count(faulty_sides):
    cases = [(faulty_sides[fault, is_gt][0], fault, is_gt) for fault, is_gt in FAULT_SIDES]
    want = [faulty_sides[fault, is_gt][1] for fault, is_gt in FAULT_SIDES]
    for cpus in (["taskset", "-c", "0"], []):
        out = subprocess.run(
            [*cpus, sys.executable, "-c", HANDLE_ERROR_SCRIPT, str(Path(__file__).parent), json.dumps(cases)],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        assert json.loads(out) == want, cpus


LOAD_SCRIPT = """
import hashlib, json, sys
import vantorel._zerlin as z
try:
    _, handle = z.load_compact_bbox(sys.argv[1], results=True)
except ValueError as err:
    print(json.dumps(["error", str(err)]))
else:
    anns = json.dumps(handle.annotations()).encode()
    print(json.dumps(["rows", handle.array_rows().tolist(), hashlib.sha256(anns).hexdigest()]))
"""


@on_one_cpu
def test_large_file_with_false_boundaries_loads_as_on_one_cpu(tmp_path):
    # Strings and nested objects that hold "}, {" put chunk starts inside
    # records; the load must still give the rows (and the error) of the
    # one-CPU process, where no chunking takes place.
    rng = np.random.default_rng(5)
    dets = []
    for i in range(30000):
        d = {
            "image_id": int(rng.integers(0, 300)),
            "category_id": int(rng.integers(1, 91)),
            "bbox": [round(float(v), 2) for v in rng.uniform(0, 600, 4)],
            "score": round(float(rng.random()), 4),
        }
        if i % 5 == 0:
            d["note"] = "a}, {b" * int(rng.integers(1, 4))
        if i % 7 == 0:
            d["segmentation"] = {"size": [10, 10], "counts": "}, {\\\\x"}
        dets.append(d)
    text = json.dumps(dets, indent=1)
    good = write(tmp_path, text, "good.json")
    assert len(text) > 4 << 20
    bad = write(tmp_path, text[: len(text) * 3 // 4] + "@" + text[len(text) * 3 // 4 :], "bad.json")
    for path in (good, bad):
        runs = [
            subprocess.run(
                [*cpus, sys.executable, "-c", LOAD_SCRIPT, path], capture_output=True, text=True, check=True
            ).stdout
            for cpus in (["taskset", "-c", "0"], [])
        ]
        assert runs[0] == runs[1]
    got = json.loads(runs[0])
    assert got[0] == "error" and "at line " in got[1]
    _, handle = z.load_compact_bbox(good, results=True)
    np.testing.assert_array_equal(handle.array_rows(), expected_rows(dets))
    assert handle.annotations() == prepared(dets)


# ---------------------------------------------------------------- one reading, every results shape


def results_without_boxes(shape):
    import evalgen

    if shape == "segm":
        with open(DATA / "instances_val2014_fakesegm100_results.json") as f:
            return json.load(f)
    gt = evalgen.dataset(21, keypoints=True)
    return evalgen.results(22, gt, keypoints=True)


@pytest.mark.parametrize("spelling", ["plain", "spaced", "counts_first", "other_member"])
def test_segmentation_spellings_evaluate_like_the_reference(tmp_path, spelling):
    # Polygon rings and RLE objects of the common spellings are read by
    # tight walks, the others by the general reader (escaped backslashes
    # in the counts strings too): every one gives the reference's evaluation.
    import contextlib
    import io

    from pycocotools import mask as mu
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    import evalgen
    from vantorel import evaluate

    gt = evalgen.dataset(31)
    gt, res = evalgen.with_segmentation(32, gt, evalgen.results(33, gt))
    size = {im["id"]: (im["height"], im["width"]) for im in gt["images"]}
    for d in res:
        h, w = size[d["image_id"]]
        rle = mu.merge(mu.frPyObjects(d["segmentation"], h, w))
        d["bbox"] = mu.toBbox(rle).tolist()
        seg = {"size": [h, w], "counts": rle["counts"].decode("ascii")}
        if spelling == "counts_first":
            seg = {"counts": seg["counts"], "size": seg["size"]}
        elif spelling == "other_member":
            seg["note"] = [1]
        d["segmentation"] = seg
    indent = 1 if spelling == "spaced" else None
    gt_path = write(tmp_path, json.dumps(gt, indent=indent), "gt.json")
    dt_path = write(tmp_path, json.dumps(res, indent=indent), "dt.json")
    assert any("\\" in d["segmentation"]["counts"] for d in res)
    with contextlib.redirect_stdout(io.StringIO()):
        ref_gt = COCO(gt_path)
        E = COCOeval(ref_gt, ref_gt.loadRes(dt_path), "segm")
        E.evaluate()
        E.accumulate()
        E.summarize()
    assert [float(v) for v in evaluate(gt_path, dt_path, "segm").stats] == [float(v) for v in E.stats]


@needs_data
@pytest.mark.parametrize("shape", ["segm", "keypoints"])
def test_results_without_boxes_complete_like_the_objects_route(tmp_path, shape):
    from vantorel.loading import _results_from_json

    dets = results_without_boxes(shape)
    dets[1]["bbox"] = [1.5, 2.0, 3.0, 4.0]  # kept by masks, replaced by keypoints
    path = write(tmp_path, dets)
    _, handle, refusal = z.load_compact_or_objects(path, results=True)
    assert refusal is None and handle.annotation_count == len(dets)
    assert handle.annotations() == _results_from_json(path)
    assert handle.lvis_annotations([1], {1}, {1: {1}}, None) is None  # box results only


@needs_data
def test_refused_files_come_back_as_objects_with_the_reason(tmp_path):
    dets = results_without_boxes("segm")
    dets[3]["segmentation"] = [[10.0, 10.0, 40.0, 10.0, 40.0, 30.0]]  # polygons: the objects route's business
    path = write(tmp_path, dets)
    doc, handle, refusal = z.load_compact_or_objects(path, results=True)
    assert (doc, handle, refusal) == (dets, None, "result 4: the segmentation is not an RLE object")
    gt_doc, gt_handle, gt_refusal = z.load_compact_or_objects(write(tmp_path, {"images": []}, "gt.json"))
    assert (gt_doc, gt_handle) == ({"images": []}, None) and gt_refusal.startswith("missing annotations")
    with pytest.raises(ValueError, match="JSON snapshot: trailing comma"):
        z.load_compact_or_objects(write(tmp_path, "[1,]", "bad.json"), results=True)
    assert "load_compact_or_objects" not in z.__all__


@needs_data
@pytest.mark.parametrize("iou_type", ["bbox", "keypoints"])
def test_mask_results_without_boxes_evaluated_as_other_types(tmp_path, iou_type):
    # Boxes and areas then come from the masks at once, as the dicts get them.
    from vantorel import evaluate

    dets = results_without_boxes("segm")
    path = write(tmp_path, dets)
    gt = json.loads((DATA / "instances_val2014_100.json").read_text())
    if iou_type == "keypoints":
        for a in gt["annotations"]:
            a["keypoints"], a["num_keypoints"] = [1, 1, 2] * 17, 17
    got, want = evaluate(gt, path, iou_type), evaluate(gt, dets, iou_type)
    np.testing.assert_array_equal(got.precision, want.precision)
    assert z.results_shape(z.load_compact_or_objects(path, results=True)[1]) == "masks"
    assert np.isfinite(z.load_compact_or_objects(path, results=True)[1].array_rows()).all()
