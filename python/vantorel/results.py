"""Evaluation results: the arrays, the summary statistics and per-category tables."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Iterable, Sequence

import numpy as np

from . import _zerlin
from .params import Params


@dataclass
class EvalResult:
    params: Params
    precision: np.ndarray
    recall: np.ndarray
    scores: np.ndarray
    stats: np.ndarray
    stat_names: list
    cat_names: dict = field(default_factory=dict)
    timings: dict = field(default_factory=dict)

    def category_ap(self) -> list:
        """(category id, name, AP over all thresholds, area 'all', the last max_dets) per category."""
        rows = []
        m = len(self.params.max_dets) - 1
        thresholds = list(range(self.precision.shape[0]))
        for k, cid in enumerate(self.params.cat_ids if self.params.use_cats else [-1]):
            v = _zerlin.summary_values(self.precision, thresholds, [k], 0, m)
            rows.append((cid, self.cat_names.get(cid, str(cid)), float(np.mean(v)) if v.size else -1.0))
        return rows

    def summary_lines(self) -> list:
        return [f" {name} = {value:0.3f}" for name, value in zip(self.stat_names, self.stats)]


def _mean(values: np.ndarray) -> float:
    return float(np.mean(values)) if values.size else -1.0


def summarize(res: dict, p: Params, lvis: bool, freq_groups: dict | None) -> tuple[np.ndarray, list]:
    precision, recall = res["precision"], res["recall"]
    all_t = list(range(len(p.iou_thrs)))
    all_k = list(range(precision.shape[2]))
    area_index = {label: i for i, label in enumerate(p.area_labels)}

    def t_index(thr):
        found = np.where(np.asarray(p.iou_thrs) == thr)[0]
        return [int(i) for i in found]

    def line(ap: bool, iou=None, area="all", max_det=None, cats=None):
        max_det = p.max_dets[-1] if max_det is None else max_det
        ts = all_t if iou is None else t_index(iou)
        ms = [i for i, m in enumerate(p.max_dets) if m == max_det]
        if area not in area_index or not ms:
            return -1.0
        values = _zerlin.summary_values(
            precision if ap else recall, ts, all_k if cats is None else cats, area_index[area], ms[0]
        )
        return _mean(values)

    def name(ap, iou=None, area="all", max_det=None):
        max_det = p.max_dets[-1] if max_det is None else max_det
        kind = "Average Precision  (AP)" if ap else "Average Recall     (AR)"
        rng = f"{p.iou_thrs[0]:0.2f}:{p.iou_thrs[-1]:0.2f}" if iou is None else f"{iou:0.2f}"
        return f"{kind} @[ IoU={rng:<9} | area={area:>6s} | maxDets={max_det:>3d} ]"

    if lvis:
        cap = p.max_dets[-1]
        lines = [
            ("AP", line(True)),
            ("AP50", line(True, iou=0.5)),
            ("AP75", line(True, iou=0.75)),
            ("APs", line(True, area="small")),
            ("APm", line(True, area="medium")),
            ("APl", line(True, area="large")),
            ("APr", line(True, cats=freq_groups.get("r", []))),
            ("APc", line(True, cats=freq_groups.get("c", []))),
            ("APf", line(True, cats=freq_groups.get("f", []))),
            (f"AR@{cap}", line(False)),
            (f"ARs@{cap}", line(False, area="small")),
            (f"ARm@{cap}", line(False, area="medium")),
            (f"ARl@{cap}", line(False, area="large")),
        ]
        return np.array([v for _, v in lines]), [n for n, _ in lines]

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


def format_category_table(rows: Iterable[Sequence]) -> str:
    lines = [f"{'category':>24s} | {'id':>6s} | AP"]
    for cid, cname, ap in rows:
        lines.append(f"{cname[:24]:>24s} | {cid:>6d} | {ap:0.3f}")
    return "\n".join(lines)
