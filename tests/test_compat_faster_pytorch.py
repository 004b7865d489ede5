"""faster_coco_eval.utils.pytorch against faster-coco-eval's own (needs
PyTorch and torchvision; skipped without them): a validation loop's
batches through FasterCocoEvaluator, and FasterCocoDetection's targets."""

import collections
import contextlib
import io
import json
import re
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("torchvision")
theirs = pytest.importorskip("faster_coco_eval.utils.pytorch")

import faster_coco_eval  # noqa: E402
import pycocotools.mask  # noqa: E402

from compat_oracle import GT_FILE, RESULT_FILES  # noqa: E402
from vantorel.compat.faster_coco_eval import COCO  # noqa: E402
from vantorel.compat.faster_coco_eval.utils import pytorch as ours  # noqa: E402


def batches(size=7):
    """The bundled mask results as a loop's predictions: boxes x1y1x2y2,
    soft masks N x 1 x H x W (0.8 inside), scores and labels."""
    by_image = collections.defaultdict(list)
    for r in json.loads(RESULT_FILES["segm"].read_text()):
        by_image[r["image_id"]].append(r)
    items = list(by_image.items())
    for start in range(0, len(items), size):
        pred = {}
        for image_id, anns in items[start : start + size]:
            boxes = torch.tensor([pycocotools.mask.toBbox(a["segmentation"]).tolist() for a in anns])
            boxes[:, 2:] += boxes[:, :2]
            masks = np.stack([pycocotools.mask.decode(a["segmentation"]) for a in anns])
            pred[image_id] = {
                "boxes": boxes,
                "scores": torch.tensor([a["score"] for a in anns]),
                "labels": torch.tensor([a["category_id"] for a in anns]),
                "masks": torch.tensor(masks)[:, None].float() * 0.8,
            }
        yield pred


def test_evaluator_as_faster_coco_eval():
    seen = []
    for coco, evaluator in ((COCO, ours.FasterCocoEvaluator), (faster_coco_eval.COCO, theirs.FasterCocoEvaluator)):
        ev = evaluator(coco(str(GT_FILE)), iou_types=["bbox", "segm"])
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            for batch in batches():
                ev.update(batch)
            ev.synchronize_between_processes()
            ev.accumulate()
            ev.summarize()
        seen.append((re.sub(r"t=\d+\.\d+s", "", out.getvalue()), sorted(ev.img_ids), ev.stats_as_dict))
    (text_a, ids_a, stats_a), (text_b, ids_b, stats_b) = seen
    assert (text_a, ids_a) == (text_b, ids_b)
    for kind in ("bbox", "segm"):
        assert list(stats_a[kind]) == list(stats_b[kind])
        np.testing.assert_allclose(list(stats_a[kind].values()), list(stats_b[kind].values()), rtol=0, atol=1e-13)


def test_dataset_targets_as_faster_coco_eval(tmp_path, monkeypatch):
    # Both make pycocotools their API process-wide when constructed: undone after.
    for name in [n for n in sys.modules if n.split(".")[0] == "pycocotools"]:
        monkeypatch.setitem(sys.modules, name, sys.modules[name])
    a = ours.FasterCocoDetection(str(tmp_path), str(GT_FILE))
    assert sys.modules["pycocotools.coco"].COCO is COCO
    b = theirs.FasterCocoDetection(str(tmp_path), str(GT_FILE))
    assert a.ids == b.ids and len(a) == len(b)
    assert [a._load_target(i) for i in a.ids[:10]] == [b._load_target(i) for i in b.ids[:10]]
