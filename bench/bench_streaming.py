"""Streaming and sharded evaluation at COCO-val size.

Generates (once, cached in --dir) a COCO-val sized ground truth and 100 box
detections per image, written as one results file and as --shards shard
files. Then, each in a fresh process so that peak memory is its own:

- oneshot:   vantorel.evaluate(gt file, results file)
- sharded:   vantorel.distributed.evaluate_sharded(gt file, shard files) on a
             LocalCluster of 2 worker processes (cluster start included, and
             the evaluation alone on the started cluster)
- streaming: StreamingEvaluator fed one image's arrays per call, then compute();
             state bytes per detection (held arrays, traced allocations, pickle)

Usage: python bench/bench_streaming.py [--images 5000] [--shards 8] [--dir /tmp/vantorel-bench-streaming]
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import resource
import subprocess
import sys
import time
import tracemalloc

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))


def rss_mb() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def make_data(folder: str, images: int, shards: int) -> None:
    import synth

    if os.path.exists(os.path.join(folder, "done")):
        return
    os.makedirs(folder, exist_ok=True)
    dataset = synth.make_dataset(n_images=images)
    dets = synth.make_results(dataset)
    with open(os.path.join(folder, "gt.json"), "w") as f:
        json.dump(dataset, f)
    with open(os.path.join(folder, "results.json"), "w") as f:
        json.dump(dets, f)
    bounds = np.linspace(0, len(dets), shards + 1).astype(int)
    for k in range(shards):
        with open(os.path.join(folder, f"shard-{k}.json"), "w") as f:
            json.dump(dets[bounds[k] : bounds[k + 1]], f)
    open(os.path.join(folder, "done"), "w").close()


def run_oneshot(folder: str) -> dict:
    from vantorel import evaluate

    base = rss_mb()
    t = time.perf_counter()
    res = evaluate(os.path.join(folder, "gt.json"), os.path.join(folder, "results.json"))
    return {"time": time.perf_counter() - t, "base": base, "peak": peak_mb(), "ap": float(res.stats[0])}


def run_sharded(folder: str) -> dict:
    from dask.distributed import Client, LocalCluster

    from vantorel.distributed import evaluate_sharded

    gt = os.path.join(folder, "gt.json")
    paths = sorted(p for p in os.listdir(folder) if p.startswith("shard-"))
    paths = [os.path.join(folder, p) for p in sorted(paths, key=lambda p: int(p[6:-5]))]
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with cluster, Client(cluster) as client:
        base, worker_base = rss_mb(), max(client.run(rss_mb).values())
        t = time.perf_counter()
        res = evaluate_sharded(gt, paths, client=client)
        alone = time.perf_counter() - t
        peak, workers = peak_mb(), client.run(peak_mb)
    t = time.perf_counter()
    again = evaluate_sharded(gt, paths)  # its own cluster, started and closed
    with_cluster = time.perf_counter() - t
    assert again.stats.tolist() == res.stats.tolist()
    return {
        "time": with_cluster,
        "time_on_cluster": alone,
        "base": base,
        "peak": peak,
        "worker_base": worker_base,
        "worker_peak": max(workers.values()),
        "ap": float(res.stats[0]),
    }


def run_streaming(folder: str) -> dict:
    from vantorel import StreamingEvaluator, _zerlin

    gt = os.path.join(folder, "gt.json")
    rows = _zerlin.load_compact_bbox(os.path.join(folder, "results.json"), results=True)[1].array_rows()
    starts = np.flatnonzero(np.r_[True, rows[1:, 0] != rows[:-1, 0]])
    ev = StreamingEvaluator(gt)
    tracemalloc.start()
    t = time.perf_counter()
    for a, b in zip(starts, [*starts[1:], len(rows)]):
        part = rows[a:b]
        ev.update_image(int(part[0, 0]), part[:, 5], part[:, 6].astype(np.int64), boxes=part[:, 1:5])
    updates = time.perf_counter() - t
    traced = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    t = time.perf_counter()
    res = ev.compute()
    compute = time.perf_counter() - t
    n = len(ev)
    return {
        "updates": updates,
        "calls": len(starts),
        "compute": compute,
        "n": n,
        "held": ev.nbytes / n,
        "traced": traced / n,
        "pickled": len(pickle.dumps(ev)) / n,
        "ap": float(res.stats[0]),
    }


def in_subprocess(mode: str, args: argparse.Namespace) -> dict:
    cmd = [
        sys.executable,
        __file__,
        "--run",
        mode,
        "--dir",
        args.dir,
        "--images",
        str(args.images),
        "--shards",
        str(args.shards),
    ]
    out = subprocess.run(cmd, check=False, capture_output=True, text=True)
    if out.returncode:
        sys.exit(f"{mode} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--images", type=int, default=5000)
    ap.add_argument("--shards", type=int, default=8)
    ap.add_argument("--dir", default="/tmp/vantorel-bench-streaming")
    ap.add_argument("--run", choices=["oneshot", "sharded", "streaming"])
    args = ap.parse_args()
    folder = os.path.join(args.dir, f"{args.images}-{args.shards}")
    if args.run:
        print(
            json.dumps({"oneshot": run_oneshot, "sharded": run_sharded, "streaming": run_streaming}[args.run](folder))
        )
        return
    make_data(folder, args.images, args.shards)
    one = in_subprocess("oneshot", args)
    sh = in_subprocess("sharded", args)
    st = in_subprocess("streaming", args)
    assert one["ap"] == sh["ap"] == st["ap"], (one["ap"], sh["ap"], st["ap"])
    print(
        f"{args.images} images, {st['n']} box detections, {args.shards} shards; AP equal in all three ({one['ap']:.4f})"
    )
    print(
        f"one-shot evaluate (files):        {one['time']:.2f} s, peak RSS {one['peak']:.0f} MB "
        f"({one['peak'] - one['base']:.0f} MB over the {one['base']:.0f} MB after imports)"
    )
    print(f"evaluate_sharded, own cluster:    {sh['time']:.2f} s (cluster start and stop included)")
    print(
        f"evaluate_sharded, started cluster: {sh['time_on_cluster']:.2f} s, caller peak RSS {sh['peak']:.0f} MB "
        f"({sh['peak'] - sh['base']:.0f} MB over {sh['base']:.0f} MB with the cluster up), "
        f"worker peak {sh['worker_peak']:.0f} MB ({sh['worker_peak'] - sh['worker_base']:.0f} MB over its start)"
    )
    print(f"streaming, {st['calls']} update_image calls: {st['updates']:.2f} s, compute {st['compute']:.2f} s")
    print(
        f"state per detection: {st['held']:.1f} bytes held, {st['traced']:.1f} bytes traced, "
        f"{st['pickled']:.1f} bytes pickled"
    )


if __name__ == "__main__":
    main()
