"""Evaluator from adversarial lists: any annotations and parameters give a
result whose precision and recall lie in [0, 1] (or -1), or a clear error,
never an internal failure or a crash.

Hypothesis draws the inputs; the seeds are annotations from data/, and every
input that ever failed is kept in fuzz/regressions/evaluator/ and replayed.
Longer run: ``VANTOREL_FUZZ_EXAMPLES=20000 pytest tests/test_fuzz_evaluator.py``.
A failing drawn input is also written to build/fuzz/findings/evaluator/.
"""

import hashlib
import json
import math
import os
from pathlib import Path
from typing import Any

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, example, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from vantorel._zerlin import Evaluator  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
REGRESSIONS = ROOT / "fuzz" / "regressions" / "evaluator"
FINDINGS = ROOT / "build" / "fuzz" / "findings" / "evaluator"
EXAMPLES = int(os.environ.get("VANTOREL_FUZZ_EXAMPLES", "300"))
CLEAN_ERRORS = (ValueError, TypeError, KeyError, OverflowError, MemoryError, IndexError)

# JSON-representable values only, so that any case can be kept as a file.
numbers = st.one_of(st.integers(-(2**70), 2**70), st.floats(allow_nan=True, allow_infinity=True), st.booleans())
scalars = st.one_of(st.none(), numbers, st.text(max_size=3))
anything = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=2), inner, max_size=3),
    max_leaves=8,
)


ids = st.integers(0, 4)
coords = st.one_of(st.floats(-20, 80), st.integers(-5, 70), st.floats(-20, 80), numbers)
rle = st.fixed_dictionaries(
    {
        "size": st.lists(st.integers(0, 70), min_size=2, max_size=2),
        "counts": st.lists(st.integers(0, 60), max_size=8)
        | st.text(alphabet="0123456789:;<=>?@ABCDOPQRSTUVWXYZ[\\]^_`abcdefghijklmno", max_size=12),
    }
)
annotation = st.fixed_dictionaries(
    {"image_id": ids},
    optional={
        "category_id": ids,
        "id": st.integers(-2, 40),
        "bbox": st.lists(coords, min_size=4, max_size=4),
        "score": st.floats(0, 1) | numbers,
        "area": st.floats(0, 5000),
        "iscrowd": st.integers(0, 1),
        "segmentation": st.lists(st.lists(coords, max_size=12), max_size=3) | rle,
        "keypoints": st.lists(coords, min_size=6, max_size=6),
        "num_keypoints": st.integers(0, 3),
    },
)
thresholds = st.lists(st.floats(0, 1), min_size=1, max_size=4)
valid_cases = st.fixed_dictionaries(
    {
        "gt_anns": st.lists(annotation, max_size=8),
        "dt_anns": st.lists(annotation, max_size=8),
        "img_sizes": st.tuples(
            *[st.tuples(st.just(i), st.lists(st.integers(0, 64), min_size=2, max_size=2)) for i in range(5)]
        ).map(list),
        "img_ids": st.lists(ids, max_size=5),
        "cat_ids": st.lists(ids, max_size=4),
        "iou_thrs": thresholds,
        "rec_thrs": thresholds,
        "max_dets": st.lists(st.integers(0, 20), min_size=1, max_size=3),
        "area_rng": st.lists(st.lists(st.floats(0, 1e4), min_size=2, max_size=2), min_size=1, max_size=3),
        "use_cats": st.booleans(),
        "iou_type": st.sampled_from(["bbox", "segm", "boundary", "keypoints", "keypoints_crowd"]),
        "kpt_sigmas": st.lists(st.floats(0.01, 1), min_size=2, max_size=2),
    }
)


@st.composite
def cases(draw: st.DrawFn) -> dict[str, Any]:
    """A well-formed case with up to three values anywhere in it replaced by anything."""
    case = draw(valid_cases)
    for _ in range(draw(st.integers(0, 3))):
        parent: Any = case
        key: Any = draw(st.sampled_from(sorted(case)))
        # Walk down a random path while the value is a non-empty container.
        while isinstance(parent[key], (list, dict)) and parent[key] and draw(st.booleans()):
            parent = parent[key]
            key = (
                draw(st.sampled_from(sorted(parent)))
                if isinstance(parent, dict)
                else draw(st.integers(0, len(parent) - 1))
            )
        parent[key] = draw(anything)
    return case


def as_args(case: dict[str, Any]) -> dict[str, Any]:
    """Evaluator arguments; img_sizes is kept as pairs so that any key survives JSON."""
    args = dict(case)
    sizes = case["img_sizes"]
    if isinstance(sizes, list) and all(isinstance(p, (list, tuple)) and len(p) == 2 for p in sizes):
        try:
            args["img_sizes"] = {k: tuple(v) if isinstance(v, list) else v for k, v in sizes}
        except TypeError:  # an unhashable key: the dict cannot be made
            args["img_sizes"] = {}
    return args


def check(case: dict[str, Any]) -> None:
    try:
        ev = Evaluator(**as_args(case))
    except CLEAN_ERRORS:
        return
    try:
        r = ev.run(collect_eval_imgs=True)
        ev.per_instance()
    except CLEAN_ERRORS:
        return
    for key in ("precision", "recall"):
        v = np.asarray(r[key])
        assert np.all((v == -1) | ((v >= 0) & (v <= 1))), key


def keep_on_failure(case: dict[str, Any]) -> None:
    """check(case), writing the case to FINDINGS first if it fails."""
    try:
        check(case)
    except BaseException:
        text = json.dumps(case, sort_keys=True)
        FINDINGS.mkdir(parents=True, exist_ok=True)
        (FINDINGS / (hashlib.sha1(text.encode()).hexdigest()[:16] + ".json")).write_text(text)
        raise


def data_seed(iou_type: str) -> dict[str, Any]:
    gt = json.loads((ROOT / "data" / "instances_val2014_100.json").read_text())
    name = "fakesegm" if iou_type in ("segm", "boundary") else "fakebbox"
    dt = json.loads((ROOT / "data" / f"instances_val2014_{name}100_results.json").read_text())
    images = gt["images"][:2]
    img_ids = [im["id"] for im in images]
    anns = [a for a in gt["annotations"] if a["image_id"] in img_ids][:6]
    return {
        "gt_anns": anns,
        "dt_anns": [d for d in dt if d["image_id"] in img_ids][:6],
        "img_sizes": [[im["id"], [im["height"], im["width"]]] for im in images],
        "img_ids": img_ids,
        "cat_ids": sorted({a["category_id"] for a in anns}),
        "iou_thrs": [0.5, 0.75],
        "rec_thrs": [0.0, 0.5, 1.0],
        "max_dets": [1, 10, 100],
        "area_rng": [[0, 1e10], [0, 1024]],
        "use_cats": True,
        "iou_type": iou_type,
        "kpt_sigmas": [],
    }


@settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(cases())
@example(data_seed("bbox"))
@example(data_seed("segm"))
@example(data_seed("boundary"))
def test_evaluator_from_adversarial_lists(case: dict[str, Any]) -> None:
    keep_on_failure(case)


@pytest.mark.parametrize("path", sorted(REGRESSIONS.glob("*.json")), ids=lambda p: p.stem)
def test_evaluator_regressions(path: Path) -> None:
    check(json.loads(path.read_text()))


def test_seed_cases_evaluate() -> None:
    """The data seeds reach the engine (a fuzz run that only met errors would prove little)."""
    for kind in ("bbox", "segm", "boundary"):
        r = Evaluator(**as_args(data_seed(kind))).run()
        assert not math.isnan(float(np.asarray(r["precision"]).max()))
