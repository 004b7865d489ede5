"""Ctrl-C inside long native work, seen from the process that gets it.

``run_child`` starts ``python interrupt_child.py SCENARIO [--scale S]``, which
builds the scenario's input, says "ready" and starts the long call; the
parent sends SIGINT from outside (a thread of the child could not: it needs
the interpreter lock that native work may hold). The child prints one JSON
line: whether the call ended in KeyboardInterrupt and when, the call's own
duration when it was not interrupted, and whether the same process then
evaluates correctly. Used by tests/test_interrupt.py and
bench/bench_interrupt.py.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from typing import Any

import numpy as np

import vantorel
from vantorel.compat import mask
from vantorel.compat.coco import COCO
from vantorel.compat.cocoeval import COCOeval


def dense_case(scale: float) -> tuple[dict[str, Any], np.ndarray]:
    """Few images crowded with overlapping boxes, every detection kept
    (``CAPS``): matching dominates while the input stays small."""
    rng = np.random.default_rng(5)
    images, per_image = 16, max(int(1000 * scale), 4)
    n = images * per_image
    image_id = np.repeat(np.arange(1, images + 1), per_image)
    category = 1 + np.arange(n) % 2
    boxes = np.c_[rng.uniform(0, 400, (n, 2)), rng.uniform(20, 200, (n, 2))]
    anns = [
        {
            "id": i + 1,
            "image_id": int(image_id[i]),
            "category_id": int(category[i]),
            "iscrowd": 0,
            "bbox": b,
            "area": b[2] * b[3],
        }
        for i, b in enumerate(boxes.tolist())
    ]
    rows = np.c_[image_id, boxes + rng.normal(0, 8, (n, 4)), rng.uniform(size=n), category]
    gt = {
        "images": [{"id": i, "height": 640, "width": 640} for i in range(1, images + 1)],
        "categories": [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}],
        "annotations": anns,
    }
    return gt, rows


CAPS = [1, 10, 1000]


def params() -> vantorel.Params:
    p = vantorel.Params.for_type("bbox")
    p.max_dets = CAPS
    return p


def small_case() -> tuple[dict[str, Any], np.ndarray]:
    return dense_case(0.02)


def results_file(directory: str, scale: float) -> str:
    """A results file of many box records, written fast (one record repeated)."""
    n = int(2_000_000 * scale)
    record = '{"image_id": 1, "category_id": 1, "bbox": [10.5, 20.25, 30.0, 40.0], "score": 0.5}'
    path = os.path.join(directory, "results.json")
    with open(path, "w") as f:
        f.write("[" + ",".join([record] * n) + "]")
    return path


def scenario(name: str, scale: float, directory: str) -> Callable[[], Any]:
    """The long call of a scenario, its input built already."""
    if name == "load":
        gt, _ = small_case()
        path = results_file(directory, scale)
        return lambda: vantorel.evaluate(gt, path, "bbox")
    if name == "evaluate":
        gt, rows = dense_case(scale)
        return lambda: vantorel.evaluate(gt, rows, params=params())
    if name == "accumulate":
        gt, rows = dense_case(scale)
        with contextlib.redirect_stdout(io.StringIO()):
            coco = COCO(gt)
            ev = COCOeval(coco, coco.loadRes(rows), "bbox")
            ev.params.maxDets = CAPS
            ev.evaluate()  # builds the evaluator; the engine runs in accumulate()
        return ev.accumulate
    if name == "mask":
        n = int(3000 * scale)
        rng = np.random.default_rng(2)
        boxes = np.c_[rng.uniform(0, 300, (n, 2)), rng.uniform(50, 200, (n, 2))]
        polys = [[x, y, x + w, y, x + w, y + h, x, y + h * 0.7] for x, y, w, h in boxes]

        def masks() -> Any:
            rles = mask.frPyObjects(polys, 512, 512)
            return mask.iou(rles, rles, [0] * n)

        return masks
    raise SystemExit(f"unknown scenario {name!r}")


def interrupted(call: Callable[[], Any]) -> dict[str, Any]:
    """Runs the call, told to the parent by a "ready" line; the parent sends SIGINT."""
    print("ready", flush=True)
    start = time.time()
    duration = None
    try:
        call()
        duration = time.time() - start
        time.sleep(1.0)  # the signal, sent after the call returned, lands here
    except KeyboardInterrupt:
        if duration is None:
            return {"interrupted": True, "caught": time.time(), "start": start}
    return {"interrupted": False, "duration": duration, "start": start}


def works_after() -> bool:
    """A whole evaluation in the same process, compared with a fresh one's stats."""
    gt, rows = small_case()
    with contextlib.redirect_stdout(io.StringIO()):
        stats = vantorel.evaluate(gt, rows, "bbox").stats
        coco = COCO(gt)
        ev = COCOeval(coco, coco.loadRes(rows), "bbox")
        ev.evaluate()
        ev.accumulate()
        ev.summarize()
    return bool(np.array_equal(stats, ev.stats)) and bool(stats[0] > 0) and threading.active_count() == 1


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("scenario")
    ap.add_argument("--scale", type=float, default=1.0)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        call = scenario(args.scenario, args.scale, directory)
        out = interrupted(call)
    out["works_after"] = works_after()
    print(json.dumps(out), flush=True)


def run_child(
    name: str,
    scale: float,
    delay: float,
    python: str = sys.executable,
    env: dict[str, str] | None = None,
    tries: int = 3,
) -> dict[str, Any]:
    """Starts a child on a scenario, sends it SIGINT ``delay`` seconds into the
    long call, and returns its report with "latency": seconds from the signal
    to KeyboardInterrupt. A run in which the signal only left after the call
    had ended (this process was not scheduled in time, or the machine is fast
    enough to finish first) is tried again with three times the work."""
    for _ in range(tries - 1):
        report = _run_child_once(name, scale, delay, python, env)
        if report["interrupted"] or report["duration"] > report["signal_at"]:
            return report
        scale *= 3
    return _run_child_once(name, scale, delay, python, env)


def _run_child_once(name: str, scale: float, delay: float, python: str, env: dict[str, str] | None) -> dict[str, Any]:
    proc = subprocess.Popen(
        [python, __file__, name, "--scale", str(scale)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    assert proc.stdout is not None
    line = proc.stdout.readline()
    if line.strip() != "ready":
        proc.kill()
        raise RuntimeError(f"child failed to start: {line}{proc.communicate()[1]}")
    time.sleep(delay)
    sent = time.time()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    if proc.returncode != 0:
        raise RuntimeError(f"child failed ({proc.returncode}): {err}")
    report: dict[str, Any] = json.loads(out.strip().splitlines()[-1])
    report["signal_at"] = sent - report.pop("start")
    if report["interrupted"]:
        report["latency"] = report.pop("caught") - sent
    return report


if __name__ == "__main__":
    main()
