"""Objects shared by several threads: members made on first read are made
once and seen whole by every reader. Threads start together (a barrier) on a
fresh object per trial, and every answer is compared with the one a single
thread gets; enough trials that the races these guard against show up."""

import json
import threading
from pathlib import Path

import numpy as np
import pytest

import evalgen
from vantorel.analysis import open_session
from vantorel.compat import lvis
from vantorel.compat.coco import COCO
from vantorel.compat.cocoeval import COCOeval

DATA = Path(__file__).resolve().parent.parent / "data"
GT = DATA / "instances_val2014_100.json"
BBOX = DATA / "instances_val2014_fakebbox100_results.json"
LVIS_GT = DATA / "lvis_val_100.json"
TRIALS = 25


def together(*readers):
    """Runs every reader in its own thread, released at once; their answers in order."""
    barrier = threading.Barrier(len(readers))
    out = [None] * len(readers)
    errors = []

    def call(i, fn):
        barrier.wait()
        try:
            out[i] = fn()
        except Exception as err:  # reported below, in the test's thread
            errors.append(err)

    threads = [threading.Thread(target=call, args=(i, fn)) for i, fn in enumerate(readers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return out


def stats(gt, dt):
    ev = COCOeval(gt, dt, "bbox")
    ev.evaluate()
    ev.accumulate()
    ev.summarize()
    return ev.stats


def test_shared_coco_and_results_read_while_evaluating():
    gt = COCO(GT)
    want_stats, want_ids = stats(gt, gt.loadRes(str(BBOX))), sorted(gt.getAnnIds())
    for _ in range(TRIALS):
        gt = COCO(GT)
        dt = gt.loadRes(str(BBOX))
        got = together(
            lambda: stats(gt, dt), lambda: sorted(gt.getAnnIds()), lambda: stats(gt, dt), lambda: len(dt.anns)
        )
        np.testing.assert_array_equal(got[0], want_stats)
        np.testing.assert_array_equal(got[2], want_stats)
        assert got[1] == want_ids and sorted(gt.getAnnIds()) == want_ids
        assert got[3] == len(json.loads(BBOX.read_text()))


@pytest.mark.parametrize("member", ["evalImgs", "ious"])
def test_evaluator_members_made_once(member):
    gt = COCO(GT)
    dt = gt.loadRes(str(BBOX))

    def evaluated():
        ev = COCOeval(gt, dt, "bbox")
        ev.params.imgIds = ev.params.imgIds[:40]
        ev.evaluate()
        return ev

    want = getattr(evaluated(), member)
    for _ in range(TRIALS // 5):
        ev = evaluated()
        got = together(*[lambda: getattr(ev, member)] * 3)
        assert got[0] is got[1] is got[2]
        assert len(got[0]) == len(want)


def test_lvis_dt_pointers_and_records_made_once():
    gt = lvis.LVIS(str(LVIS_GT))
    dataset = json.loads(LVIS_GT.read_text())
    dets = evalgen.lvis_results(3, dataset, per_image=(0, 40))
    ev = lvis.LVISEval(gt, dets, "bbox")
    ev.evaluate()
    for _ in range(TRIALS // 5):
        ev.accumulate()
        got = together(lambda: ev.eval["dt_pointers"], lambda: ev.eval["dt_pointers"], lambda: ev.eval_imgs)
        assert got[0] is got[1] and isinstance(got[0], dict) and got[0]


def test_analysis_session_shared_by_analyses():
    for _ in range(TRIALS // 5):
        s = open_session(str(GT), str(BBOX), "bbox", need_pairs=True)
        got = together(s.run, s.run, lambda: s.instances(0.5), lambda: s.instances(0.5), s.pairs, s.pairs)
        assert got[0] is got[1] and got[2] is got[3] and got[4] is got[5]


def test_lvis_results_file_dicts_made_once(tmp_path):
    """Box results from a file stay in columns; threads reading their dicts
    and maps at once all get the same whole objects."""
    gt = lvis.LVIS(str(LVIS_GT))
    path = tmp_path / "res.json"
    path.write_text(json.dumps(evalgen.lvis_results(3, json.loads(LVIS_GT.read_text()), per_image=(0, 40))))
    for _ in range(TRIALS // 5):
        dt = lvis.LVISResults(gt, str(path))
        got = together(lambda: dt.anns, lambda: dt.dataset["annotations"], lambda: dt.img_ann_map, lambda: dt.anns)
        assert got[0] is got[3] and len(got[0]) == len(got[1]) > 0
        assert sum(len(v) for v in got[2].values()) == len(got[1])
