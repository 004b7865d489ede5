"""``faster_coco_eval.extra.draw``: drawing of annotations, curves and the
confusion matrix.

faster-coco-eval draws with plotly. Here the figures are plotly's where
plotly is installed (``plotly_available``; callers of faster-coco-eval get
the figure objects they expect), else matplotlib's (``vantorel[plot]``):
the same traces, drawn as lines, filled polygons and an image.

Examples
--------
>>> from vantorel.compat.faster_coco_eval.extra import draw
>>> fig = draw.plot_pre_rec([{"recall_list": [0, 1], "precision_list": [1, .5],
...                           "scores": [.9, .1], "name": "a"}], return_fig=True)  # doctest: +SKIP
"""

from __future__ import annotations

import importlib
import logging
import os.path as osp
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np

from .utils import convert_ann_rle_to_poly

# Optional drawing libraries, imported by name (neither is a dependency, and
# plotly has no type information).
go: Any
Image: Any
try:
    go = importlib.import_module("plotly.graph_objs")
    plotly_available = True
except ImportError:  # matplotlib draws instead
    go = None
    plotly_available = False

try:
    Image = importlib.import_module("PIL.Image")
    pillow_available = True
except ImportError:
    Image = None
    pillow_available = False

__all__ = ["display_image", "display_matrix", "generate_ann_polygon", "plot_ced_metric", "plot_f1_confidence",
           "plot_pre_rec", "show_anns"]  # fmt: skip

logger = logging.getLogger(__name__)

A = 0.1
DT_COLOR = (238, 130, 238, A)
GT_COLOR = (0, 255, 0, A)
FN_COLOR = (0, 0, 255, A)
FP_COLOR = (255, 0, 0, A)

showAnnsiouTypeT = Literal["segm", "bbox"]


@dataclass
class Trace:
    """One drawn annotation or curve when plotly is absent: plotly's
    attribute names, drawn by matplotlib."""

    x: list[Any]
    y: list[Any]
    name: str = ""
    line: dict[str, Any] = field(default_factory=dict)
    fillcolor: str | None = None
    text: Any = None
    legendgroup: str | None = None
    mode: str = "lines"


def _rgb(color: tuple[Any, ...]) -> tuple[str, str]:
    r, g, b = color[:3]
    alpha = color[3] if len(color) > 3 else 1.0
    return f"rgb({r}, {g}, {b})", f"rgba({r}, {g}, {b}, {alpha})"


def _scatter(**kw: Any) -> Any:
    return go.Scatter(**kw) if plotly_available and go is not None else Trace(**_trace_fields(kw))


def _trace_fields(kw: dict[str, Any]) -> dict[str, Any]:
    names = ("x", "y", "name", "line", "fillcolor", "text", "legendgroup", "mode")
    return {k: v for k, v in kw.items() if k in names and v is not None}


def _polygons(ann: dict[str, Any], iou_type: str, skeleton: Iterable[Any] | None) -> tuple[list[Any], list[Any]]:
    """The outline coordinates of an annotation, each ring closed and
    followed by None (a break between rings)."""
    xs: list[Any] = []
    ys: list[Any] = []
    if iou_type == "segm" and "segmentation" in ann:
        ann = convert_ann_rle_to_poly(dict(ann)) if isinstance(ann["segmentation"], dict) else ann
        for poly in ann["segmentation"]:
            # A copy of each ring: the annotation is drawn as it is, again and again.
            xs += [*poly[0::2], poly[0], None]
            ys += [*poly[1::2], poly[1], None]
        return xs, ys
    x, y, w, h = ann["bbox"]
    xs += [x, x + w, x + w, x, x, None]
    ys += [y, y, y + h, y + h, y, None]
    if iou_type == "keypoints" and "keypoints" in ann:
        kps = np.asarray(ann["keypoints"], dtype=float).reshape(-1, 3)
        for a, b in skeleton or ():
            if 0 < a <= len(kps) and 0 < b <= len(kps) and kps[a - 1, 2] > 0 and kps[b - 1, 2] > 0:
                xs += [kps[a - 1, 0], kps[b - 1, 0], None]
                ys += [kps[a - 1, 1], kps[b - 1, 1], None]
    return xs, ys


def generate_ann_polygon(
    ann: dict[str, Any],
    color: tuple[Any, ...],
    iouType: str = "bbox",
    text: str | None = None,
    legendgroup: str | None = None,
    category_id_to_skeleton: dict[Any, Any] | None = None,
) -> Any:
    """One annotation as a filled outline: its box, its polygons ("segm";
    an RLE is traced first) or its box and skeleton ("keypoints"), in
    ``color`` (R, G, B, A). A plotly ``Scatter`` where plotly is installed,
    else a ``Trace`` with the same fields."""
    skeleton = (category_id_to_skeleton or {}).get(ann.get("category_id"))
    xs, ys = _polygons(ann, iouType, skeleton)
    line, fill = _rgb(color)
    return _scatter(
        x=xs, y=ys, name="", text=text, mode="lines", fill="toself", fillcolor=fill, line={"color": line},
        legendgroup=legendgroup, legendgrouptitle_text=legendgroup, showlegend=legendgroup is not None,
        hovertemplate="{text}<extra></extra>",
    )  # fmt: skip


def _image_array(coco: Any, image_id: Any, data_folder: str | None) -> np.ndarray:
    img = coco.imgs[image_id]
    path = osp.join(data_folder or "", img.get("file_name", ""))
    if pillow_available and Image is not None and osp.isfile(path):
        with Image.open(path) as im:
            return np.asarray(im.convert("RGB"))
    return np.full((int(img.get("height", 1)), int(img.get("width", 1)), 3), 255, dtype=np.uint8)


def _figure(image: np.ndarray, traces: list[Any], title: str, return_fig: bool) -> Any:
    if plotly_available and go is not None:
        fig = go.Figure(data=[go.Image(z=image, name="0")])
        fig.add_traces(traces)
        fig.update_layout(title={"text": title}, height=700, width=900, margin={"l": 0, "r": 0, "t": 30, "b": 0})
        return fig if return_fig else fig.show()
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(9, 7))
    ax.imshow(image)
    for t in traces:
        _draw_outline(ax, t)
    ax.set_title(title.replace("<br>", "\n"))
    ax.set_axis_off()
    return fig if return_fig else plt.show()


def _draw_outline(ax: Any, t: Trace) -> None:
    from matplotlib.colors import to_rgba

    rgba = _parse_rgba(t.fillcolor or "rgba(0, 0, 0, 0.1)")
    edge = _parse_rgba(t.line.get("color", "rgb(0, 0, 0)"))
    ring_x: list[float] = []
    ring_y: list[float] = []
    for x, y in zip([*t.x, None], [*t.y, None], strict=True):
        if x is None:
            if ring_x:
                ax.fill(ring_x, ring_y, facecolor=to_rgba(rgba), edgecolor=to_rgba((*edge[:3], 1.0)))
            ring_x, ring_y = [], []
        else:
            ring_x.append(x)
            ring_y.append(y)


def _parse_rgba(text: str) -> tuple[float, float, float, float]:
    parts = [float(v) for v in text[text.index("(") + 1 : text.index(")")].split(",")]
    return (parts[0] / 255, parts[1] / 255, parts[2] / 255, parts[3] if len(parts) > 3 else 1.0)


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as e:  # pragma: no cover - the optional extra
        raise ImportError("drawing needs plotly or matplotlib: pip install matplotlib") from e
    return plt


def display_image(
    cocoGt: Any,
    cocoDt: Any | None = None,
    image_id: int = 1,
    iouType: str | None = "bbox",
    display_fp: bool = True,
    display_fn: bool = True,
    display_tp: bool = True,
    display_gt: bool = True,
    show_false_only: bool = False,
    data_folder: str | None = None,
    categories: list[Any] | None = None,
    gt_ann_ids: set[Any] | None = None,
    dt_ann_ids: set[Any] | None = None,
    return_fig: bool = False,
) -> Any:
    """Draws an image with its ground truth (green; a false negative blue
    instead), true positives (violet) and false positives (red), as marked by
    an ``ExtraEval``; the figure (900 x 700, titled "image_id=<id>") is
    returned with ``return_fig``; its title names the image's id and file."""
    iou_type = iouType or "bbox"
    skeletons = {c: cat.get("skeleton", []) for c, cat in cocoGt.cats.items()}
    names = {c: cat.get("name", c) for c, cat in cocoGt.cats.items()}

    def wanted(ann: dict[str, Any], ids: set[Any] | None) -> bool:
        return (categories is None or ann.get("category_id") in categories) and (ids is None or ann["id"] in ids)

    traces = []
    gts = [a for a in cocoGt.imgToAnns.get(image_id, []) if wanted(a, gt_ann_ids)]
    dts = [a for a in cocoDt.imgToAnns.get(image_id, []) if wanted(a, dt_ann_ids)] if cocoDt is not None else []
    if show_false_only and not any(a.get("fn") for a in gts) and not any(a.get("fp") for a in dts):
        return None
    for ann in gts:
        cat = names.get(ann.get("category_id"), ann.get("category_id"))
        if ann.get("fn", False):
            if display_fn:
                text = f"<b>FN</b><br>id={ann['id']}<br>category={cat}"
                traces.append(generate_ann_polygon(ann, FN_COLOR, iou_type, text, "fn", skeletons))
        elif display_gt:
            text = f"<b>GT</b><br>id={ann['id']}<br>category={cat}"
            traces.append(generate_ann_polygon(ann, GT_COLOR, iou_type, text, "gt", skeletons))
    for ann in dts:
        cat = names.get(ann.get("category_id"), ann.get("category_id"))
        score = ann.get("score", 0.0)
        if display_tp and ann.get("tp", False):
            text = f"<b>DT</b><br>id={ann['id']}<br>category={cat}<br>score={score:.2f}<br>IoU={ann.get('iou', 0):.2f}"
            traces.append(generate_ann_polygon(ann, DT_COLOR, iou_type, text, "tp", skeletons))
        if display_fp and ann.get("fp", False):
            text = f"<b>FP</b><br>id={ann['id']}<br>category={cat}<br>score={score:.2f}"
            traces.append(generate_ann_polygon(ann, FP_COLOR, iou_type, text, "fp", skeletons))
    image = _image_array(cocoGt, image_id, data_folder)
    title = f"image_id={image_id}<br>image_fn={cocoGt.imgs[image_id].get('file_name', '')}"
    return _figure(image, traces, title, return_fig)


def show_anns(
    cocoGt: Any,
    image_id: int,
    ann_ids: list[int] | None = None,
    iouType: showAnnsiouTypeT = "bbox",
    data_folder: str | None = None,
    return_fig: bool = False,
) -> Any:
    """Draws an image with its ground truth (all of it, or ``ann_ids``)."""
    ids = None if ann_ids is None else set(ann_ids)
    return display_image(cocoGt, None, image_id, iouType, display_fp=False, display_fn=False, display_tp=False,
                         data_folder=data_folder, gt_ann_ids=ids, return_fig=return_fig)  # fmt: skip


def display_matrix(
    conf_matrix: np.ndarray, labels: list[Any], normalize: bool = False, return_fig: bool = False
) -> Any:
    """Draws a K x (K + 2) confusion matrix (columns: the K labels, "fp",
    "fn"); with ``normalize`` each row as percentages of its total (rows
    without any stay zero; the given matrix is not changed)."""
    z = np.asarray(conf_matrix)
    if normalize:
        z = z.astype(float)  # a copy
        totals = z.sum(axis=1, keepdims=True)
        z = np.divide(z * 100, totals, out=np.zeros_like(z), where=totals != 0)
    x_labels = [*labels, "fp", "fn"]
    if plotly_available and go is not None:
        fig = go.Figure(data=[go.Heatmap(z=z, x=x_labels, y=list(labels), colorscale="Blues")])
        fig.update_traces(texttemplate="%{z:.0f}" if not normalize else "%{z:.1f}%")
        fig.update_layout(title="Confusion Matrix", yaxis={"autorange": "reversed"}, height=700, width=900)
        return fig if return_fig else fig.show()
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(9, 7))
    ax.imshow(z, cmap="Blues", aspect="auto")
    ax.set_xticks(range(len(x_labels)), x_labels, rotation=90)
    ax.set_yticks(range(len(labels)), labels)
    ax.set_title("Confusion Matrix")
    return fig if return_fig else plt.show()


def _valid(curve: dict[str, Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Recall, precision and scores where precision has a value (-1 marks none)."""
    precision = np.asarray(curve["precision_list"], dtype=float)
    keep = precision >= 0
    return np.asarray(curve["recall_list"], dtype=float)[keep], precision[keep], np.asarray(curve["scores"])[keep]


def _lines(traces: list[Any], title: str, xaxis: str, yaxis: str, return_fig: bool, unit: bool = True) -> Any:
    """A figure of line traces; ``unit``: both axes span [0, 1] (with a margin)."""
    if plotly_available and go is not None:
        fig = go.Figure()
        fig.add_traces(traces)
        fig.update_layout({"title": title, "height": 600, "width": 1200})
        span = {"range": [-0.01, 1.01]} if unit else {}
        fig.update_xaxes(title_text=xaxis, showspikes=True, **span)
        fig.update_yaxes(title_text=yaxis, showspikes=True, **span)
        return fig if return_fig else fig.show()
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(9, 6))
    for t in traces:
        ax.plot(t.x, t.y, label=t.name)
    ax.set_xlabel(xaxis)
    ax.set_ylabel(yaxis)
    ax.set_title(title)
    if traces:
        ax.legend()
    return fig if return_fig else plt.show()


def _name(curve: dict[str, Any]) -> str:
    name: str = curve.get("name", curve.get("label", ""))
    return name


def plot_pre_rec(curves: list[dict[str, Any]], return_fig: bool = False) -> Any:
    """Draws precision against recall for each curve (points without a
    precision left out); each trace is named by the curve's "name" (else
    its "label")."""
    traces = []
    for curve in curves:
        recall, precision, scores = _valid(curve)
        hover = "Pre: %{y:.3f}<br>Rec: %{x:.3f}<br>Score: %{text:.3f}<extra></extra>"
        traces.append(_scatter(x=recall, y=precision, text=scores, name=_name(curve), mode="lines",
                               hovertemplate=hover, showlegend=True))  # fmt: skip
    return _lines(traces, "Precision-Recall", "Recall", "Precision", return_fig)


def plot_f1_confidence(curves: list[dict[str, Any]], return_fig: bool = False) -> Any:
    """Draws F1 (2PR / (P + R), 0 where both are 0) against the score
    threshold for each curve, named as ``plot_pre_rec`` names it."""
    traces = []
    for curve in curves:
        recall, precision, scores = _valid(curve)
        total = precision + recall
        f1 = np.divide(2 * precision * recall, total, out=np.zeros_like(total), where=total != 0)
        hover = "F1: %{y:.3f}<br>Confidence: %{x:.3f}<br><extra></extra>"
        traces.append(_scatter(x=scores, y=f1, name=_name(curve), mode="lines", hovertemplate=hover,
                               showlegend=True))  # fmt: skip
    return _lines(traces, "F1-Confidence", "Confidence", "F1", return_fig)


def plot_ced_metric(curves: list[dict[str, Any]], normalize: bool = False, return_fig: bool = False) -> Any:
    """Draws the cumulative error distributions of ``Curves.build_ced_curve``
    (with ``normalize``, as percentages of each series' last value; an
    all-zero series stays zero)."""
    traces = []
    for curve in curves:
        group = curve.get("label", curve["category"].get("name", ""))
        for key, series in curve["mae"].items():
            y = np.asarray(series["y"], dtype=float)
            if normalize:
                top = y.max() if y.size else 0.0
                y = y / top * 100 if top > 0 else np.zeros_like(y)
            traces.append(_scatter(x=series["x"], y=y, name=key, legendgroup=group, mode="lines"))
    return _lines(traces, "CED", "MAE", "Count" if not normalize else "%", return_fig, unit=False)
