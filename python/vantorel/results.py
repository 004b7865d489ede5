"""Evaluation results: the arrays, the summary statistics and per-category tables."""

from __future__ import annotations

import csv
import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import IO, Any

import numpy as np

from . import _zerlin
from .params import Params


KEYPOINT_KEYS = ["AP", "AP50", "AP75", "APm", "APl", "AR", "AR50", "AR75", "ARm", "ARl"]


def stat_keys(p: Params, stat_names: Sequence[str]) -> list[str]:
    """Short, stable names of the summary statistics, in ``stats`` order.

    Boxes, masks and boundaries: AP, AP50, AP75, APs, APm, APl, then AR at
    each of the three caps (AR1, AR10, AR100 by default; named by the caps
    used when ``max_dets`` differ), ARs, ARm, ARl. Keypoints: AP, AP50,
    AP75, APm, APl, AR, AR50, AR75, ARm, ARl. LVIS: AP, AP50, AP75, APs,
    APm, APl, APr, APc, APf, AR@300, ARs@300, ARm@300, ARl@300 (the cap is
    the last of ``max_dets``).

    Examples
    --------
    >>> from vantorel import Params
    >>> stat_keys(Params.for_type("bbox"), [])[6:9]
    ['AR1', 'AR10', 'AR100']
    """
    if stat_names and stat_names[0] == "AP":  # LVIS: the names are short already
        return list(stat_names)
    if p.iou_type == "keypoints":
        return list(KEYPOINT_KEYS)
    caps = list(p.max_dets)
    big = caps[2] if len(caps) > 2 else caps[-1]
    small, mid = caps[0], caps[1] if len(caps) > 1 else caps[-1]
    return ["AP", "AP50", "AP75", "APs", "APm", "APl", f"AR{small}", f"AR{mid}", f"AR{big}", "ARs", "ARm", "ARl"]


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
    ) -> "EvalResult":
        """The result of one run's precision/recall/scores arrays, summarised
        under ``params``.

        Examples
        --------
        >>> EvalResult.from_run(ev.run(), params, cat_names={}, timings={})  # doctest: +SKIP
        """
        stats, names = summarize(arrays, params, lvis, freq_groups)
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
        """The summary statistics under short, stable names (see ``stat_keys``).

        Examples
        --------
        >>> result.stats_as_dict()  # doctest: +SKIP
        {'AP': 0.505, 'AP50': 0.697, 'AP75': 0.573, 'APs': 0.586, ..., 'ARl': 0.564}
        """
        return dict(zip(stat_keys(self.params, self.stat_names), map(float, self.stats)))

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

    def category_ap(self) -> list[tuple[Any, str, float]]:
        """(category id, name, AP) per category: AP over all thresholds, area
        'all', the last cap; -1 where the category has no ground truth.

        Examples
        --------
        >>> result.category_ap()[0]  # doctest: +SKIP
        (1, 'person', 0.61)
        """
        rows = []
        m = len(self.params.max_dets) - 1
        thresholds = list(range(self.precision.shape[0]))
        for k, cid in enumerate(self.params.cat_ids if self.params.use_cats else [-1]):
            v = _zerlin.summary_values(self.precision, thresholds, [k], 0, m)
            rows.append((cid, self.cat_names.get(cid, str(cid)), float(np.mean(v)) if v.size else -1.0))
        return rows

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


def _mean(values: np.ndarray) -> float:
    return float(np.mean(values)) if values.size else -1.0


_Line = tuple[bool, float | None, str, int]


def summarize(
    res: dict[str, Any], p: Params, lvis: bool, freq_groups: dict[str, list[int]] | None
) -> tuple[np.ndarray, list[str]]:
    """The summary statistics of a run's output and their line labels (LVIS:
    short names), as the reference evaluations summarise.

    Examples
    --------
    >>> stats, names = summarize(evaluator.run(), params, False, None)  # doctest: +SKIP
    """
    precision, recall = res["precision"], res["recall"]
    all_t = list(range(len(p.iou_thrs)))
    all_k = list(range(precision.shape[2]))
    area_index = {label: i for i, label in enumerate(p.area_labels)}

    def t_index(thr: float) -> list[int]:
        found = np.where(np.asarray(p.iou_thrs) == thr)[0]
        return [int(i) for i in found]

    def line(
        ap: bool, iou: float | None = None, area: str = "all", max_det: int | None = None, cats: list[int] | None = None
    ) -> float:
        max_det = p.max_dets[-1] if max_det is None else max_det
        ts = all_t if iou is None else t_index(iou)
        ms = [i for i, m in enumerate(p.max_dets) if m == max_det]
        if area not in area_index or not ms:
            return -1.0
        values = _zerlin.summary_values(
            precision if ap else recall, ts, all_k if cats is None else cats, area_index[area], ms[0]
        )
        return _mean(values)

    def name(ap: bool, iou: float | None = None, area: str = "all", max_det: int | None = None) -> str:
        max_det = p.max_dets[-1] if max_det is None else max_det
        kind = "Average Precision  (AP)" if ap else "Average Recall     (AR)"
        rng = f"{p.iou_thrs[0]:0.2f}:{p.iou_thrs[-1]:0.2f}" if iou is None else f"{iou:0.2f}"
        return f"{kind} @[ IoU={rng:<9} | area={area:>6s} | maxDets={max_det:>3d} ]"

    if lvis:
        groups = freq_groups or {}
        cap = p.max_dets[-1]
        named = [
            ("AP", line(True)),
            ("AP50", line(True, iou=0.5)),
            ("AP75", line(True, iou=0.75)),
            ("APs", line(True, area="small")),
            ("APm", line(True, area="medium")),
            ("APl", line(True, area="large")),
            ("APr", line(True, cats=groups.get("r", []))),
            ("APc", line(True, cats=groups.get("c", []))),
            ("APf", line(True, cats=groups.get("f", []))),
            (f"AR@{cap}", line(False)),
            (f"ARs@{cap}", line(False, area="small")),
            (f"ARm@{cap}", line(False, area="medium")),
            (f"ARl@{cap}", line(False, area="large")),
        ]
        return np.array([v for _, v in named]), [n for n, _ in named]

    lines: list[_Line]
    if p.iou_type == "keypoints":
        lines = [
            (True, None, "all", 20),
            (True, 0.5, "all", 20),
            (True, 0.75, "all", 20),
            (True, None, "medium", 20),
            (True, None, "large", 20),
            (False, None, "all", 20),
            (False, 0.5, "all", 20),
            (False, 0.75, "all", 20),
            (False, None, "medium", 20),
            (False, None, "large", 20),
        ]
    else:
        big = p.max_dets[2] if len(p.max_dets) > 2 else p.max_dets[-1]
        lines = [
            (True, None, "all", big),
            (True, 0.5, "all", big),
            (True, 0.75, "all", big),
            (True, None, "small", big),
            (True, None, "medium", big),
            (True, None, "large", big),
            (False, None, "all", p.max_dets[0]),
            (False, None, "all", p.max_dets[1] if len(p.max_dets) > 1 else p.max_dets[-1]),
            (False, None, "all", big),
            (False, None, "small", big),
            (False, None, "medium", big),
            (False, None, "large", big),
        ]
    return np.array([line(*s) for s in lines]), [name(*s) for s in lines]


def format_category_table(rows: Iterable[Sequence[Any]]) -> str:
    """(category id, name, AP) rows as aligned text (see ``CategoryTable.format``
    for the full table).

    Examples
    --------
    >>> print(format_category_table([(1, "person", 0.5)]))
                    category |     id | AP
                      person |      1 | 0.500
    """
    lines = [f"{'category':>24s} | {'id':>6s} | AP"]
    for cid, cname, ap in rows:
        lines.append(f"{str(cname)[:24]:>24s} | {str(cid):>6s} | {ap:0.3f}")
    return "\n".join(lines)
