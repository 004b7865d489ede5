"""Sharded evaluation on Dask: one task per results file, exact merge on the caller.

Dask is an optional dependency: ``pip install vantorel[dask]``.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any

from .params import Params
from .results import EvalResult
from .streaming import StreamingEvaluator


def _dask_distributed() -> Any:
    try:
        import dask.distributed
    except ImportError as err:
        raise ImportError(
            "vantorel.distributed needs Dask's distributed scheduler: pip install vantorel[dask]"
        ) from err
    return dask.distributed


def _shard_state(empty_state: bytes, path: str) -> StreamingEvaluator:
    """One shard's detections as a compact state (runs on a worker). The
    file loads natively; no Python object per detection survives the load
    (box results never make one)."""
    state = StreamingEvaluator.from_bytes(empty_state)
    state.update(path)
    return state


def evaluate_sharded(
    gt: Any,
    result_paths: Iterable[str | os.PathLike[str]],
    iou_type: str = "bbox",
    client: Any = None,
    *,
    lvis: bool = False,
    params: Params | None = None,
    n_workers: int = 2,
) -> EvalResult:
    """Evaluates results written as several files, one Dask task per file.

    Each worker loads its shard and returns its compact state; the states
    merge on the caller in the order of ``result_paths``, so the result is
    that of ``vantorel.evaluate`` on the shards concatenated in that order.

    Parameters
    ----------
    gt : str, os.PathLike, dict or object with a ``dataset`` dict
        Ground truth, loaded on the caller only.
    result_paths : iterable of paths
        Results files, readable by the workers under the same paths.
    iou_type, lvis, params
        As for ``vantorel.evaluate``.
    client : dask.distributed.Client, optional
        Without one, a local cluster of ``n_workers`` processes runs for the
        call.

    Examples
    --------
    >>> from vantorel.distributed import evaluate_sharded
    >>> evaluate_sharded("gt.json", [f"dets-{k}.json" for k in range(8)]).stats  # doctest: +SKIP
    """
    dd = _dask_distributed()
    paths = [os.fspath(p) for p in result_paths]
    ev = StreamingEvaluator(gt, iou_type, params=params, lvis=lvis)
    # Workers get the fingerprints and parameters, never the ground truth.
    empty = ev.to_bytes()
    own = client is None
    if own:
        cluster = dd.LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True, dashboard_address=None)
        client = dd.Client(cluster)
    try:
        futures = client.map(_shard_state, [empty] * len(paths), paths, pure=False)
        states = client.gather(futures)
        del futures  # the workers may drop their copies
    finally:
        if own:
            client.close()
            cluster.close()
    ev.merge(*states)
    del states
    return ev.compute(release=True)
