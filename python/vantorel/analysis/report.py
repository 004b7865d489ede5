"""The whole analysis in one call, as text and as an offline HTML report."""

from __future__ import annotations

import html
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from ..params import Params
from ._session import open_session
from .breakdown import coco_breakdown
from .confusion import confusion_matrix
from .curves import f1_curve, pr_curves
from .tide import error_breakdown


def analyze(
    gt: str | os.PathLike[str] | dict[str, Any],
    results: Any,
    iou_type: str | None = None,
    *,
    params: Params | None = None,
) -> dict[str, Any]:
    """Every analysis from one loading and one evaluation.

    Returns a dict: ``"result"`` (the plain ``EvalResult``), ``"pr_curves"``,
    ``"f1"``, ``"confusion"``, ``"errors"`` (TIDE) and ``"breakdown"``
    (COCO analysis), each as its own function returns it with default options.

    Examples
    --------
    >>> everything = analyze("gt.json", "dets.json")          # doctest: +SKIP
    >>> everything["errors"]["dAP"]                              # doctest: +SKIP
    """
    s = open_session(
        gt, results, iou_type, params=params, extra_thrs=(0.75, 0.5, 0.1), need_pairs=True, prefetch=((0.5, 0),)
    )
    return {
        "result": s.eval_result(),
        "pr_curves": pr_curves(gt, results, iou_type, session=s),
        "f1": f1_curve(gt, results, iou_type, session=s),
        "confusion": confusion_matrix(gt, results, iou_type, session=s),
        "errors": error_breakdown(gt, results, iou_type, session=s),
        "breakdown": coco_breakdown(gt, results, iou_type, session=s),
    }


def format_analysis(analysis: dict[str, Any]) -> str:
    """The error breakdown and best-F1 thresholds as text.

    Examples
    --------
    >>> print(format_analysis(analyze("gt.json", "dets.json")))   # doctest: +SKIP
    """
    tide, f1 = analysis["errors"], analysis["f1"]
    names = analysis["result"].cat_names
    lines = [f"Error breakdown (TIDE), AP{round(tide['pos_thr'] * 100)} = {tide['ap50']:.2f}"]
    keys = list(tide["dAP"])
    lines.append("  type  " + "".join(f"{k:>8s}" for k in keys))
    lines.append("  dAP   " + "".join(f"{tide['dAP'][k]:8.2f}" for k in keys))
    lines.append("  count " + "".join(f"{tide['counts'][k]:8d}" for k in keys))
    best = f1["best"]
    lines.append("")
    lines.append(f"Best F1 at IoU {f1['iou_thr']:.2f}")
    o = best["overall"]
    lines.append(f"  {'all categories':>24s}  threshold {o['threshold']:.4f}  F1 {o['f1']:.4f}")
    for k, cid in enumerate(f1["category_ids"]):
        if np.isnan(best["f1"][k]):
            continue
        name = names.get(int(cid), str(int(cid)))[:24]
        lines.append(f"  {name:>24s}  threshold {best['threshold'][k]:.4f}  F1 {best['f1'][k]:.4f}")
    return "\n".join(lines)


def write_report(analysis: dict[str, Any], out_dir: str | os.PathLike[str]) -> Path:
    """Writes the pictures and a self-contained ``index.html`` into ``out_dir``
    (created if needed); returns the page's path. The page refers only to
    the images written beside it: no scripts, styles or fonts from elsewhere.

    Examples
    --------
    >>> write_report(analyze("gt.json", "dets.json"), "report/")  # doctest: +SKIP
    PosixPath('report/index.html')
    """
    from . import plots

    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    result = analysis["result"]
    images: dict[str, tuple[str, Callable[[Path], Any]]] = {
        "pr_curves.png": ("Precision-recall curves", lambda p: plots.plot_pr_curves(analysis["pr_curves"], p)),
        "pr_per_category.png": (
            "Precision-recall per category",
            lambda p: plots.plot_category_pr(analysis["pr_curves"], p, names=result.cat_names),
        ),
        "f1.png": ("F1 against the score threshold", lambda p: plots.plot_f1(analysis["f1"], p)),
        "confusion.png": ("Confusion matrix", lambda p: plots.plot_confusion(analysis["confusion"], p)),
        "errors.png": ("Error breakdown (TIDE)", lambda p: plots.plot_error_breakdown(analysis["errors"], p)),
        "coco_breakdown.png": (
            "COCO analysis breakdown",
            lambda p: plots.plot_coco_breakdown(analysis["breakdown"], p),
        ),
    }
    for name, (_, draw) in images.items():
        draw(out / name)
    page = out / "index.html"
    page.write_text(_html(analysis, {name: title for name, (title, _) in images.items()}), encoding="utf-8")
    return page


def _html(analysis: dict[str, Any], images: dict[str, Any]) -> str:
    result, tide = analysis["result"], analysis["errors"]
    esc = html.escape
    summary = "".join(
        f"<tr><td>{esc(n.strip())}</td><td>{v:.3f}</td></tr>" for n, v in zip(result.stat_names, result.stats)
    )
    per_cat = "".join(
        f"<tr><td>{esc(str(name))}</td><td>{cid}</td><td>{ap:.3f}</td></tr>"
        for cid, name, ap, *_ in result.per_category().rows
    )
    keys = list(tide["dAP"])
    errors = (
        "<tr><th>type</th>"
        + "".join(f"<th>{k}</th>" for k in keys)
        + "</tr>"
        + "<tr><td>dAP</td>"
        + "".join(f"<td>{tide['dAP'][k]:.2f}</td>" for k in keys)
        + "</tr>"
        + "<tr><td>count</td>"
        + "".join(f"<td>{tide['counts'][k]}</td>" for k in keys)
        + "</tr>"
    )
    pictures = "".join(
        f'<h2>{esc(title)}</h2><img src="{esc(name)}" alt="{esc(title)}">' for name, title in images.items()
    )
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>vantorel evaluation report</title>
<style>body{{font-family:sans-serif;margin:2em;max-width:80em}}table{{border-collapse:collapse;margin-bottom:1em}}
td,th{{border:1px solid #ccc;padding:2px 8px;text-align:right}}td:first-child{{text-align:left}}img{{max-width:100%}}</style>
</head><body>
<h1>Evaluation report ({esc(result.params.iou_type)})</h1>
<h2>Summary</h2><table>{summary}</table>
<h2>Error breakdown (TIDE), AP{round(tide["pos_thr"] * 100)} = {tide["ap50"]:.2f}</h2><table>{errors}</table>
{pictures}
<h2>Per category</h2><table><tr><th>category</th><th>id</th><th>AP</th></tr>{per_cat}</table>
</body></html>
"""
