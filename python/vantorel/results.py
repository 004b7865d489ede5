"""Evaluation results: the arrays, the summary statistics and per-category tables."""

from __future__ import annotations

import csv
import math
from dataclasses import dataclass, field
from typing import IO, Any

import numpy as np

from . import _engine, _zerlin
from .params import Params


@dataclass(frozen=True)
class CategoryTable:
    """Per-category figures: one row per evaluated category.

    ``columns`` names the row items: ``category_id``, ``name``, then the AP
    over the IoU thresholds, AP50 and AP75 (where those thresholds are
    evaluated), APs, APm, APl (where those area ranges are), and AR at the
    largest detection cap (``AR@100`` by default). Values are floats; NaN
    where the category has no ground truth in that setting (the reference
    arrays' -1).

    Examples
    --------
    >>> table = CategoryTable(["category_id", "name", "AP"], [[1, "person", 0.5]])
    >>> table.as_dicts()
    [{'category_id': 1, 'name': 'person', 'AP': 0.5}]
    """

    columns: list[str]
    rows: list[list[Any]]

    def as_dicts(self) -> list[dict[str, Any]]:
        """The rows as dicts keyed by column name.

        Examples
        --------
        >>> CategoryTable(["category_id", "AP"], [[1, 0.5]]).as_dicts()
        [{'category_id': 1, 'AP': 0.5}]
        """
        return [dict(zip(self.columns, row)) for row in self.rows]

    def write_csv(self, out: IO[str]) -> None:
        """Writes the table as CSV with a header line; NaN as an empty field.

        Examples
        --------
        >>> import io
        >>> buf = io.StringIO()
        >>> CategoryTable(["category_id", "AP"], [[1, float("nan")]]).write_csv(buf)
        >>> buf.getvalue().splitlines()
        ['category_id,AP', '1,']
        """
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(self.columns)
        for row in self.rows:
            writer.writerow(["" if isinstance(v, float) and math.isnan(v) else v for v in row])

    def format(self) -> str:
        """The table as aligned text, three decimals, ``nan`` where undefined.

        Examples
        --------
        >>> print(CategoryTable(["category_id", "name", "AP"], [[1, "person", 0.5]]).format())
                        category |       id |      AP
                          person |        1 |   0.500
        """
        head = f"{'category':>24s} | {'id':>8s} | " + " ".join(f"{c:>7s}" for c in self.columns[2:])
        lines = [head]
        for cid, name, *values in self.rows:
            lines.append(f"{str(name)[:24]:>24s} | {str(cid)[:8]:>8s} | " + " ".join(f"{v:7.3f}" for v in values))
        return "\n".join(lines)


@dataclass
class EvalResult:
    """The outcome of an evaluation: the reference evaluation's arrays and summary.

    Attributes
    ----------
    params : Params
        The parameters used, with image and category ids filled in (in the
        caller's own ids).
    precision : numpy.ndarray
        Shape (T, R, K, A, M): IoU thresholds, recall thresholds, categories,
        area ranges, detection caps; -1 where a setting has no ground truth.
    recall : numpy.ndarray
        Shape (T, K, A, M), -1 likewise.
    scores : numpy.ndarray
        Shape (T, R, K, A, M): the score at which each recall threshold is reached.
    stats : numpy.ndarray
        The summary statistics, in the order of the printed summary.
    stat_names : list of str
        The summary's line labels (LVIS: its short names).
    cat_names : dict
        Category id -> name.
    timings : dict
        Seconds per phase of the native evaluation.
    lvis : bool
        Whether the LVIS federated protocol was used.

    Examples
    --------
    >>> result = evaluate("gt.json", "results.json", "bbox")  # doctest: +SKIP
    >>> result.stats_as_dict()["AP50"]  # doctest: +SKIP
    0.697
    >>> result.per_category().columns  # doctest: +SKIP
    ['category_id', 'name', 'AP', 'AP50', 'AP75', 'APs', 'APm', 'APl', 'AR@100']
    """

    params: Params
    precision: np.ndarray
    recall: np.ndarray
    scores: np.ndarray
    stats: np.ndarray
    stat_names: list[str]
    cat_names: dict[Any, str] = field(default_factory=dict)
    timings: dict[str, float] = field(default_factory=dict)
    lvis: bool = False

    @classmethod
    def from_run(
        cls,
        arrays: dict[str, Any],
        params: Params,
        *,
        cat_names: dict[Any, str],
        timings: dict[str, float],
        lvis: bool = False,
        freq_groups: dict[str, list[int]] | None = None,
        crowd: dict[str, Any] | None = None,
    ) -> EvalResult:
        """The result of one run's precision/recall/scores arrays, summarised
        under ``params`` (CrowdPose's split lines from the split's run ``crowd``).

        Examples
        --------
        >>> EvalResult.from_run(ev.run(), params, cat_names={}, timings={})  # doctest: +SKIP
        """
        stats, names = _engine.summarize(arrays, params, lvis, freq_groups, crowd)
        return cls(
            params=params,
            precision=arrays["precision"],
            recall=arrays["recall"],
            scores=arrays["scores"],
            stats=stats,
            stat_names=names,
            cat_names=cat_names,
            timings=timings,
            lvis=lvis,
        )

    @property
    def evaluated(self) -> bool:
        """False when nothing could be evaluated: no category has both ground
        truth and detections on the evaluated images.

        Read from the arrays: a category without ground truth has precision
        -1; one without detections has score 0 and precision 0 everywhere (so
        detections that all score exactly 0 and all miss look absent too).

        Examples
        --------
        >>> result.evaluated  # doctest: +SKIP
        True
        """
        if self.precision.size == 0:
            return False
        labels = list(self.params.area_labels)
        a = labels.index("all") if "all" in labels else 0
        p = self.precision[:, :, :, a, -1]
        has_gt = p[0, 0] > -1
        has_dets = ((self.scores[:, :, :, a, -1] > 0) | (p > 0)).any(axis=(0, 1))
        return bool((has_gt & has_dets).any())

    def stats_as_dict(self) -> dict[str, float]:
        """The summary statistics under short, stable names.

        Boxes, masks and boundaries: AP, AP50, AP75, APs, APm, APl, then AR
        at each of the three caps (AR1, AR10, AR100 by default; named by the
        caps used when ``max_dets`` differ), ARs, ARm, ARl. Keypoints: AP,
        AP50, AP75, APm, APl, AR, AR50, AR75, ARm, ARl. LVIS: AP, AP50, AP75,
        APs, APm, APl, APr, APc, APf, AR@300, ARs@300, ARm@300, ARl@300 (the
        cap is the last of ``max_dets``). CrowdPose ("keypoints_crowd"): AP,
        AP50, AP75, AR, AR50, AR75, APeasy, APmedium, APhard.

        Examples
        --------
        >>> result.stats_as_dict()  # doctest: +SKIP
        {'AP': 0.505, 'AP50': 0.697, 'AP75': 0.573, 'APs': 0.586, ..., 'ARl': 0.564}
        """
        keys = [line.key for line in _engine.summary_lines("vantorel", _engine.Axes.of(self.params), self.lvis)]
        return dict(zip(keys, map(float, self.stats), strict=False))

    def per_category(self) -> CategoryTable:
        """AP, AP50, AP75, APs, APm, APl and AR at the largest cap, per category.

        Each figure averages the reference arrays' slice of that category as
        the summary does (so AP equals pycocotools'
        ``eval['precision'][:, :, k, 0, m]`` averaged over its valid cells);
        NaN where the category has no ground truth.

        Examples
        --------
        >>> table = result.per_category()  # doctest: +SKIP
        >>> table.columns[2], table.rows[0][2]  # doctest: +SKIP
        ('AP', 0.61)
        """
        p = self.params
        caps = list(p.max_dets)
        m = caps.index(max(caps))
        all_t = list(range(self.precision.shape[0]))
        area = {label: i for i, label in enumerate(p.area_labels)}
        thr = [float(t) for t in p.iou_thrs]
        wanted: list[tuple[str, bool, list[int], str]] = [("AP", True, all_t, "all")]
        for iou, name in ((0.5, "AP50"), (0.75, "AP75")):
            if iou in thr:
                wanted.append((name, True, [thr.index(iou)], "all"))
        for label, name in (("small", "APs"), ("medium", "APm"), ("large", "APl")):
            if label in area:
                wanted.append((name, True, all_t, label))
        wanted.append((f"AR@{caps[m]}", False, all_t, "all"))
        wanted = [s for s in wanted if s[3] in area]
        ids = p.cat_ids if p.use_cats else [-1]
        rows: list[list[Any]] = []
        for k, cid in enumerate(ids):
            row: list[Any] = [cid, self.cat_names.get(cid, str(cid)) if p.use_cats else "all"]
            for _, ap, ts, label in wanted:
                v = _zerlin.summary_values(self.precision if ap else self.recall, ts, [k], area[label], m)
                row.append(float(np.mean(v)) if v.size else math.nan)
            rows.append(row)
        return CategoryTable(["category_id", "name"] + [s[0] for s in wanted], rows)

    def to_dict(self) -> dict[str, Any]:
        """The summary, the per-category table and the parameters as plain
        JSON-ready values (NaN as None; the large arrays are left out).

        Examples
        --------
        >>> import json
        >>> text = json.dumps(result.to_dict())  # doctest: +SKIP
        """
        return {
            "iou_type": self.params.iou_type,
            "lvis": self.lvis,
            "stats": self.stats_as_dict(),
            "per_category": [{k: _json_value(v) for k, v in row.items()} for row in self.per_category().as_dicts()],
            "params": self.params.to_dict(),
            "timings": dict(self.timings),
        }

    def summary_lines(self) -> list[str]:
        """The summary as the reference evaluation prints it, one line per statistic.

        Examples
        --------
        >>> print(result.summary_lines()[0])  # doctest: +SKIP
         Average Precision  (AP) @[ IoU=0.50:0.95 | area=   all | maxDets=100 ] = 0.505
        """
        return [f" {name} = {value:0.3f}" for name, value in zip(self.stat_names, self.stats)]


def _json_value(v: Any) -> Any:
    if isinstance(v, float) and math.isnan(v):
        return None
    return v
