"""Runs xtcocotools (the black-box oracle for pose evaluation) in its own
environment, whose NumPy 1 the tests' environment cannot import.

As a script (under the oracle's Python): ``xtcocotools_oracle.py JOB OUT``
reads a JSON job {gt, results, iou_type, sigmas, use_area, img_ids} and
writes OUT.npz with the arrays as accumulate() leaves them (summarize() of
keypoints_crowd replaces them with its last split's), the stats and the
printed text. As a module: ``run(...)`` does that through a subprocess.
"""

import contextlib
import io
import json
import os
import subprocess
import sys
from pathlib import Path

# scripts/test.sh makes this environment; another can be named by the variable.
PYTHON = os.environ.get(
    "VANTOREL_XTCOCOTOOLS_PYTHON", str(Path(__file__).resolve().parents[1] / "build/xtcocotools-oracle/bin/python")
)
SKIP_REASON = (
    f"xtcocotools oracle environment absent ({PYTHON}); make it with "
    "`python3 -m venv ENV && ENV/bin/pip install 'numpy<2' xtcocotools` and set VANTOREL_XTCOCOTOOLS_PYTHON"
)


def available():
    return os.path.exists(PYTHON)


def run(tmp_path, gt, results, iou_type, sigmas=None, use_area=True, img_ids=None):
    """The oracle's {precision, recall, stats, text} for files (or dicts/lists, written to tmp_path)."""
    import numpy as np

    tmp_path = Path(tmp_path)
    if not isinstance(gt, (str, os.PathLike)):
        (tmp_path / "oracle_gt.json").write_text(json.dumps(gt))
        gt = tmp_path / "oracle_gt.json"
    if not isinstance(results, (str, os.PathLike)):
        (tmp_path / "oracle_res.json").write_text(json.dumps(results))
        results = tmp_path / "oracle_res.json"
    job = {
        "gt": str(gt),
        "results": str(results),
        "iou_type": iou_type,
        "use_area": bool(use_area),
        "sigmas": None if sigmas is None else [float(s) for s in sigmas],
        "img_ids": img_ids,
    }
    (tmp_path / "oracle_job.json").write_text(json.dumps(job))
    out = tmp_path / "oracle_out.npz"
    subprocess.run([PYTHON, __file__, str(tmp_path / "oracle_job.json"), str(out)], check=True)
    with np.load(out) as z:
        return {"precision": z["precision"], "recall": z["recall"], "stats": z["stats"], "text": str(z["text"])}


def _main(job_path, out_path):
    import numpy as np
    from xtcocotools.coco import COCO
    from xtcocotools.cocoeval import COCOeval

    job = json.loads(Path(job_path).read_text())
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO(job["gt"])
        dt = gt.loadRes(job["results"])
    sigmas = None if job["sigmas"] is None else np.array(job["sigmas"])
    E = COCOeval(gt, dt, job["iou_type"], sigmas, use_area=job["use_area"])
    if job["img_ids"] is not None:
        E.params.imgIds = job["img_ids"]
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        E.evaluate()
        E.accumulate()
        precision, recall = E.eval["precision"].copy(), E.eval["recall"].copy()
        E.summarize()
    np.savez(out_path, precision=precision, recall=recall, stats=np.asarray(E.stats), text=buf.getvalue())


if __name__ == "__main__":
    _main(sys.argv[1], sys.argv[2])
