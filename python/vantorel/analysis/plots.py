"""Pictures of the analyses, drawn with matplotlib (an optional extra).

Each function takes the dict an analysis function returned and gives a
``matplotlib.figure.Figure`` (saved to ``path`` when one is given). Figures
are made without pyplot, so no window or backend is involved.
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from .breakdown import LABELS as BREAKDOWN_LABELS

_COLORS = {
    "C75": "#4c72b0",
    "C50": "#7fbfff",
    "Loc": "#6cd36c",
    "Sim": "#f2cc5c",
    "Oth": "#f28c4c",
    "BG": "#e84c4c",
    "FN": "#b0b0b0",
}


def _figure(width: float, height: float, layout: Any = "constrained") -> Any:
    try:
        from matplotlib.figure import Figure
    except ImportError as err:
        raise ImportError("plotting needs matplotlib: pip install vantorel[plots]") from err
    return Figure(figsize=(width, height), dpi=100, layout=layout)


def _done(fig: Any, path: str | os.PathLike[str] | None) -> Any:
    if path is not None:
        fig.savefig(os.fspath(path))
    return fig


def _mean_curves(precision: np.ndarray) -> np.ndarray:
    """(T, R) mean over categories with ground truth of (T, R, K) curves."""
    valid = precision >= 0
    total = np.where(valid, precision, 0.0).sum(axis=-1)
    count = valid.sum(axis=-1)
    with np.errstate(invalid="ignore"):
        return np.where(count > 0, total / np.maximum(count, 1), np.nan)


def plot_pr_curves(curves: dict[str, Any], path: str | os.PathLike[str] | None = None, *, area: int = 0) -> Any:
    """Mean PR curve over categories at each IoU threshold (largest cap).

    Examples
    --------
    >>> plot_pr_curves(pr_curves("gt.json", "dets.json"), "pr.png")  # doctest: +SKIP
    """
    fig = _figure(6, 4.5)
    ax = fig.add_subplot()
    rec = curves["rec_thrs"]
    mean = _mean_curves(curves["precision"][:, :, :, area, -1])
    for t, thr in enumerate(curves["iou_thrs"]):
        ap = np.nanmean(mean[t]) if np.isfinite(mean[t]).any() else float("nan")
        ax.plot(rec, mean[t], lw=1.2, label=f"IoU {thr:.2f} [{ap:.3f}]")
    _pr_axes(ax, "Precision-recall, all categories")
    ax.legend(fontsize=7, loc="lower left")
    return _done(fig, path)


def plot_category_pr(
    curves: dict[str, Any],
    path: str | os.PathLike[str] | None = None,
    *,
    names: dict[int, str] | None = None,
    columns: int = 8,
) -> Any:
    """One small PR plot per category, a line per IoU threshold (area all).

    Examples
    --------
    >>> plot_category_pr(pr_curves("gt.json", "dets.json"), "per_category.png")  # doctest: +SKIP
    """
    cats = curves["category_ids"]
    rows = max(1, -(-len(cats) // columns))
    # A fixed layout: solving a constrained one over many axes takes seconds.
    fig = _figure(1.6 * columns, 1.5 * rows, layout=None)
    fig.subplots_adjust(left=0.03, right=0.99, bottom=0.03, top=0.97, wspace=0.15, hspace=0.35)
    axes = fig.subplots(rows, columns, squeeze=False)
    rec = curves["rec_thrs"]
    prec = curves["precision"][:, :, :, 0, -1]
    for k, ax in enumerate(axes.flat):
        if k >= len(cats):
            ax.set_axis_off()
            continue
        for t in range(prec.shape[0]):
            if prec[t, 0, k] >= 0:
                ax.plot(rec, prec[t, :, k], lw=0.6)
        name = (names or {}).get(int(cats[k]), str(int(cats[k])))
        ax.set_title(name, fontsize=7, pad=2)
        ax.set_xlim(0, 1)
        ax.set_ylim(0, 1.02)
        ax.set_xticks([0, 0.5, 1] if k // columns == rows - 1 else [])
        ax.set_yticks([0, 0.5, 1] if k % columns == 0 else [])
        ax.tick_params(labelsize=5, length=2)
    return _done(fig, path)


def plot_f1(f1: dict[str, Any], path: str | os.PathLike[str] | None = None) -> Any:
    """Overall precision, recall and F1 against the score threshold, best F1 marked.

    Examples
    --------
    >>> plot_f1(f1_curve("gt.json", "dets.json"), "f1.png")  # doctest: +SKIP
    """
    fig = _figure(6, 4.5)
    ax = fig.add_subplot()
    grid, overall, best = f1["scores"], f1["overall"], f1["best"]["overall"]
    ax.plot(grid, overall["precision"], label="precision")
    ax.plot(grid, overall["recall"], label="recall")
    ax.plot(grid, overall["f1"], label="F1", lw=2)
    if np.isfinite(best["threshold"]):
        ax.axvline(best["threshold"], color="k", ls=":", lw=1)
        ax.annotate(f"best F1 {best['f1']:.3f} @ {best['threshold']:.3f}", (best["threshold"], best["f1"]), fontsize=8)
    ax.set_xlabel("score threshold")
    ax.set_ylim(0, 1.02)
    ax.set_title(f"Precision, recall and F1 at IoU {f1['iou_thr']:.2f}")
    ax.legend(fontsize=8)
    return _done(fig, path)


def plot_confusion(cm: dict[str, Any], path: str | os.PathLike[str] | None = None) -> Any:
    """The confusion matrix as a labelled heat map (logarithmic colours).

    Examples
    --------
    >>> plot_confusion(confusion_matrix("gt.json", "dets.json"), "confusion.png")  # doctest: +SKIP
    """
    from matplotlib.colors import LogNorm

    matrix = cm["matrix"]
    n = matrix.shape[0]
    size = max(5.0, min(0.16 * n + 2, 20.0))
    fig = _figure(size, size)
    ax = fig.add_subplot()
    shown = np.where(matrix > 0, matrix, np.nan)
    image = ax.imshow(
        shown, norm=LogNorm(vmin=1, vmax=max(1, int(matrix.max()))), cmap="viridis", interpolation="nearest"
    )
    rows = cm["labels"][:-1] + ["background"]
    cols = cm["labels"][:-1] + ["missed"]
    fs = max(3.0, min(8.0, 400.0 / n))
    ax.set_xticks(range(n), cols, rotation=90, fontsize=fs)
    ax.set_yticks(range(n), rows, fontsize=fs)
    ax.set_xlabel("detected class")
    ax.set_ylabel("ground-truth class")
    ax.set_title(f"Confusion at IoU {cm['iou_thr']:.2f}, score >= {cm['score_thr']:g}")
    fig.colorbar(image, ax=ax, shrink=0.6)
    return _done(fig, path)


def plot_error_breakdown(tide: dict[str, Any], path: str | os.PathLike[str] | None = None) -> Any:
    """dAP per TIDE error type as a bar chart.

    Examples
    --------
    >>> plot_error_breakdown(error_breakdown("gt.json", "dets.json"), "errors.png")  # doctest: +SKIP
    """
    fig = _figure(6, 3.5)
    ax = fig.add_subplot()
    names = list(tide["dAP"])
    values = [tide["dAP"][k] for k in names]
    bars = ax.bar(names, values, color=["#e84c4c", "#f2a33c", "#a0a0a0", "#7fbfff", "#6cd36c", "#b07fd8"])
    ax.bar_label(bars, fmt="%.2f", fontsize=8)
    ax.set_ylabel("dAP (AP points)")
    ax.set_title(f"Error breakdown, AP{round(tide['pos_thr'] * 100)} = {tide['ap50']:.2f}")
    return _done(fig, path)


def plot_coco_breakdown(
    breakdown: dict[str, Any], path: str | os.PathLike[str] | None = None, *, category: int | None = None
) -> Any:
    """The stacked PR plot of the COCO analysis (mean over categories, or
    one category position).

    Examples
    --------
    >>> plot_coco_breakdown(coco_breakdown("gt.json", "dets.json"), "coco.png")  # doctest: +SKIP
    """
    fig = _figure(6, 4.5)
    ax = fig.add_subplot()
    rec = breakdown["rec_thrs"]
    prec = breakdown["precision"]
    curves = (
        _mean_curves(prec) if category is None else np.where(prec[:, :, category] >= 0, prec[:, :, category], np.nan)
    )
    ap = breakdown["ap"] if category is None else breakdown["ap_per_category"][:, category]
    # Widest first, so each stricter setting paints over the looser ones.
    for i in range(len(BREAKDOWN_LABELS) - 1, -1, -1):
        label = BREAKDOWN_LABELS[i]
        ax.fill_between(rec, 0.0, np.nan_to_num(curves[i]), color=_COLORS[label], label=f"[{ap[i]:.3f}] {label}")
    handles, labels = ax.get_legend_handles_labels()
    ax.legend(handles[::-1], labels[::-1], fontsize=8, loc="lower left")
    _pr_axes(ax, f"COCO analysis breakdown, area {breakdown['area']}")
    return _done(fig, path)


def _pr_axes(ax: Any, title: str) -> None:
    ax.set_xlim(0, 1)
    ax.set_ylim(0, 1.02)
    ax.set_xlabel("recall")
    ax.set_ylabel("precision")
    ax.set_title(title)
    ax.grid(alpha=0.3)
