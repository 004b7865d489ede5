"""The lvis package's visualisation API (``LVISVis``, ``colormap``) for ground truth and results.

Installed as ``lvis.vis`` by
``vantorel.compat.install_as_lvis()``. Figures, patches, texts and colours
are those of lvis 0.5.3: one figure per call, annotations drawn largest box
first, each coloured by its position in the image's annotation list.
Drawing needs matplotlib (``pip install vantorel[plots]``), imported only when
a figure is made.

Where the reference fails or ignores its input we do the sound thing instead:

- RLE segmentations (the usual form of mask results) are drawn as the
  outlines of their mask; the reference treats the RLE dict as a polygon and
  raises ValueError;
- the ``dpi`` given to the constructor sizes the figures of ``vis_img`` and
  ``vis_result``; the reference keeps it but always uses 75;
- an image file that cannot be read raises an error naming the file, instead
  of OpenCV's error about an empty image;
- ground truth may also be an already-loaded dataset dict or a path-like, as
  for ``LVIS``.

Example
-------
>>> from vantorel.compat.lvis_vis import LVISVis                   # doctest: +SKIP
>>> vis = LVISVis("lvis_v1_val.json", "dets.json", img_dir="val2017")  # doctest: +SKIP
>>> vis.vis_result(397133, show_boxes=True, show_classes=True)     # doctest: +SKIP
"""

from __future__ import annotations

import logging
import os
from typing import TYPE_CHECKING, Any

import numpy as np

from ... import _zerlin
from ..._conventions import segmentation_rle
from .colormap import colormap
from .lvis import LVIS, _PathOrDict
from .results import LVISResults

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["LVIS", "LVISResults", "LVISVis", "colormap"]

_PLOTS_HINT = "pip install vantorel[plots]"
_COLORS = colormap(rgb=True) / 255


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError(f"LVISVis draws with matplotlib, which is not installed: {_PLOTS_HINT}") from exc
    return plt


def _read_rgb(path: str) -> np.ndarray:
    """The image as a (height, width, 3) uint8 RGB array, alpha dropped, grey spread to three channels."""
    plt = _pyplot()
    try:
        img = np.asarray(plt.imread(path))
    except (OSError, ValueError) as exc:
        raise OSError(f"cannot read image {path!r}: {exc}") from exc
    if img.dtype.kind == "f":  # PNG comes back as 0-1 floats
        img = np.rint(np.clip(img, 0.0, 1.0) * 255)
    img = img.astype(np.uint8, copy=False)
    if img.ndim == 2:
        img = img[:, :, None]
    if img.shape[2] < 3:
        img = img[:, :, :1]
    return np.ascontiguousarray(np.broadcast_to(img[:, :, :3], (*img.shape[:2], 3)))


def _mask_outlines(rle: dict[str, Any]) -> list[np.ndarray]:
    """The (N, 2) x, y outlines of an RLE's mask (outer boundaries and holes), on pixel centres' grid."""
    try:
        import contourpy
    except ImportError as exc:
        raise ImportError(f"drawing RLE masks needs matplotlib's contourpy: {_PLOTS_HINT}") from exc
    h, w = rle["size"]
    mask = _zerlin.decode([segmentation_rle(rle, h, w)])[:, :, 0]
    padded = np.pad(mask.astype(np.float64), 1)  # closes outlines that touch the image border
    lines = contourpy.contour_generator(z=padded, line_type=contourpy.LineType.Separate).lines(0.5)
    return [np.asarray(line) - 1.0 for line in lines]


class LVISVis:
    """Draws an image's ground truth or results with matplotlib.

    Parameters
    ----------
    lvis_gt : LVIS, str, os.PathLike or dict
        The ground truth, or its annotation file or loaded dict.
    lvis_dt : LVISResults, str, os.PathLike or list of dict, optional
        The results, or their file or list (read against ``lvis_gt``).
    img_dir : str, optional
        Folder holding the images, named as the last part of their
        ``coco_url``. Missing images are downloaded there (the working
        directory when not given).
    dpi : int
        Pixels per inch: a figure shows the image at its own size.

    Examples
    --------
    >>> vis = LVISVis("data/lvis_val_100.json", img_dir="images")  # doctest: +SKIP
    >>> vis.vis_img(565853, show_boxes=True, show_classes=True)     # doctest: +SKIP
    """

    def __init__(self, lvis_gt: LVIS | _PathOrDict, lvis_dt: Any = None, img_dir: str | None = None,
                 dpi: int = 75) -> None:  # fmt: skip
        self.logger = logging.getLogger("lvis.vis")
        if isinstance(lvis_gt, LVIS):
            self.lvis_gt = lvis_gt
        elif isinstance(lvis_gt, (str, os.PathLike, dict)):
            self.lvis_gt = LVIS(lvis_gt)
        else:
            raise TypeError(f"Unsupported type {lvis_gt} of lvis_gt.")
        self.lvis_dt: LVISResults | None
        if lvis_dt is None or isinstance(lvis_dt, LVISResults):
            self.lvis_dt = lvis_dt
        elif isinstance(lvis_dt, (str, os.PathLike, list)):
            self.lvis_dt = LVISResults(self.lvis_gt, lvis_dt)
        else:
            raise TypeError(f"Unsupported type {lvis_dt} of lvis_dt.")
        self.dpi = dpi
        self.img_dir: str = img_dir if img_dir else "."
        if self.img_dir == ".":
            self.logger.warning("img_dir not specified. Images will be downloaded.")

    def coco_segm_to_poly(self, _list: Any) -> np.ndarray:
        """One flat ``[x0, y0, x1, y1, ...]`` polygon as an (N, 2) array of points.

        Examples
        --------
        >>> LVISVis.coco_segm_to_poly(None, [1, 2, 3, 4, 5, 6]).tolist()
        [[1, 2], [3, 4], [5, 6]]
        """
        points: np.ndarray = np.asarray([_list[0::2], _list[1::2]]).transpose()
        return points

    def get_synset(self, idx: Any) -> str:
        """The category's short synset name: ``'acorn.n.01'`` reads ``'acorn.1'``."""
        parts = self.lvis_gt.load_cats(ids=[idx])[0]["synset"].split(".")
        return f"{parts[0]}.{int(parts[-1])}"

    def setup_figure(self, img: np.ndarray, title: str = "", dpi: int = 75) -> tuple[Figure, Axes]:
        """A frameless figure that shows ``img`` at one image pixel per ``1/dpi`` inch, axes off."""
        plt = _pyplot()
        fig = plt.figure(frameon=False)
        fig.set_size_inches(img.shape[1] / dpi, img.shape[0] / dpi)
        ax = plt.Axes(fig, [0.0, 0.0, 1.0, 1.0])
        ax.set_title(title)
        ax.axis("off")
        fig.add_axes(ax)
        ax.imshow(img)
        return fig, ax

    def vis_bbox(self, ax: Axes, bbox: Any, box_alpha: float = 0.5, edgecolor: Any = "g",
                 linestyle: str = "--") -> None:  # fmt: skip
        """Draws an ``[x, y, w, h]`` box outline."""
        from matplotlib.patches import Rectangle

        ax.add_patch(Rectangle((bbox[0], bbox[1]), bbox[2], bbox[3], fill=False, edgecolor=edgecolor,
                               linewidth=2.5, alpha=box_alpha, linestyle=linestyle))  # fmt: skip

    def vis_mask(self, ax: Axes, segm: Any, color: Any) -> None:
        """Draws an (N, 2) polygon (see ``coco_segm_to_poly``) half-transparent in ``color``."""
        from matplotlib.patches import Polygon

        ax.add_patch(Polygon(segm, fill=True, facecolor=color, edgecolor=color, linewidth=3, alpha=0.5))

    def vis_text(self, ax: Axes, bbox: Any, text: str, color: Any = "w") -> None:
        """Writes ``text`` just above the box's top-left corner."""
        ax.text(bbox[0], bbox[1] - 2, text, fontsize=15, family="serif",
                bbox={"facecolor": "none", "alpha": 0.4, "pad": 0, "edgecolor": "none"}, color=color,
                zorder=10)  # fmt: skip

    def get_color(self, idx: Any) -> np.ndarray:
        """Colour ``idx`` of the palette (cycling), RGB float32 in 0-1."""
        color: np.ndarray = _COLORS[idx % len(_COLORS)].copy()
        return color

    def load_img(self, img_id: Any) -> np.ndarray:
        """The image as an RGB uint8 array, downloaded into ``img_dir`` first if missing."""
        img = self.lvis_gt.load_imgs([img_id])[0]
        img_path = os.path.join(self.img_dir, img["coco_url"].split("/")[-1])
        if not os.path.exists(img_path):
            self.lvis_gt.download(self.img_dir, img_ids=[img_id])
        return _read_rgb(img_path)

    def vis_img(self, img_id: Any, show_boxes: bool = False, show_segms: bool = True, show_classes: bool = False,
                cat_ids_to_show: Any = None) -> None:  # fmt: skip
        """Draws the image's ground truth in a new figure (none, with a
        warning, when the image has no annotation)."""
        anns = self.lvis_gt.load_anns(ids=self.lvis_gt.get_ann_ids(img_ids=[img_id]))
        self._draw(img_id, anns, show_boxes, show_segms, show_classes, cat_ids_to_show, False)

    def vis_result(self, img_id: Any, show_boxes: bool = False, show_segms: bool = True,
                   show_classes: bool = False, cat_ids_to_show: Any = None, score_thrs: float = 0.0,
                   show_scores: bool = True) -> None:  # fmt: skip
        """Draws the image's results scoring above ``score_thrs`` in a new
        figure, labels followed by the score when ``show_scores``."""
        if self.lvis_dt is None:
            raise AssertionError("lvis_dt was not specified.")
        anns = self.lvis_dt.load_anns(ids=self.lvis_dt.get_ann_ids(img_ids=[img_id]))
        anns = [a for a in anns if a["score"] > score_thrs]
        self._draw(img_id, anns, show_boxes, show_segms, show_classes, cat_ids_to_show, show_scores)

    def _draw(self, img_id: Any, anns: list[Any], show_boxes: bool, show_segms: bool, show_classes: bool,
              cat_ids_to_show: Any, show_scores: bool) -> None:  # fmt: skip
        if len(anns) == 0:
            self.logger.warning("No gt anno found for img_id: %s", img_id)
            return
        boxes = np.asarray([a["bbox"] for a in anns])
        # Largest box first so small objects stay visible; argsort's default kind keeps the reference's tie order.
        order = np.argsort(-(boxes[:, 2] * boxes[:, 3]))
        _, ax = self.setup_figure(self.load_img(img_id), dpi=self.dpi)
        for idx in order:
            ann = anns[idx]
            if cat_ids_to_show is not None and ann["category_id"] not in cat_ids_to_show:
                continue
            color = self.get_color(idx)
            if show_boxes:
                self.vis_bbox(ax, boxes[idx], edgecolor=color)
            if show_segms and "segmentation" in ann:
                self._draw_segm(ax, ann["segmentation"], color)
            if show_classes:
                text = self.get_synset(ann["category_id"])
                if show_scores:
                    text = f"{text}: {ann['score']:.2f}"
                self.vis_text(ax, boxes[idx], text)

    def _draw_segm(self, ax: Axes, segm: Any, color: np.ndarray) -> None:
        if isinstance(segm, dict):
            polys = _mask_outlines(segm)
        else:
            polys = [self.coco_segm_to_poly(poly) for poly in segm]
        for poly in polys:
            self.vis_mask(ax, poly, color)
