"""Sharded evaluation on a local Dask cluster equals one-shot evaluation."""

import json
import sys
from pathlib import Path

import numpy as np
import pytest

from vantorel import evaluate

DATA = Path(__file__).resolve().parent.parent / "data"
GT = DATA / "instances_val2014_100.json"
RESULTS = {
    "bbox": DATA / "instances_val2014_fakebbox100_results.json",
    "segm": DATA / "instances_val2014_fakesegm100_results.json",
}


def shards(tmp_path, iou_type, cut_points):
    with open(RESULTS[iou_type]) as f:
        dets = json.load(f)
    paths = []
    for k, (a, b) in enumerate(zip([0, *cut_points], [*cut_points, len(dets)])):
        paths.append(tmp_path / f"{iou_type}-{k}.json")
        paths[-1].write_text(json.dumps(dets[a:b]))
    return paths


def test_shards_on_a_two_process_cluster(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    from vantorel.distributed import evaluate_sharded

    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        for iou_type in ("bbox", "segm"):
            # Cut inside an image's results (position 333 is mid-image) and with an empty shard.
            paths = shards(tmp_path, iou_type, [120, 333, 333, 600])
            got = evaluate_sharded(GT, paths, iou_type, client=client)
            want = evaluate(GT, RESULTS[iou_type], iou_type)
            for name in ("precision", "recall", "scores", "stats"):
                np.testing.assert_array_equal(getattr(got, name), getattr(want, name))


def test_own_local_cluster(tmp_path):
    pytest.importorskip("dask.distributed")
    from vantorel.distributed import evaluate_sharded

    paths = shards(tmp_path, "bbox", [400])
    assert evaluate_sharded(GT, paths[::-1]).stats.tolist() == evaluate(GT, RESULTS["bbox"]).stats.tolist()


def test_missing_dask_names_the_extra(monkeypatch):
    from vantorel.distributed import evaluate_sharded

    monkeypatch.setitem(sys.modules, "dask", None)
    monkeypatch.setitem(sys.modules, "dask.distributed", None)
    with pytest.raises(ImportError, match=r"pip install vantorel\[dask\]"):
        evaluate_sharded(GT, [RESULTS["bbox"]])
