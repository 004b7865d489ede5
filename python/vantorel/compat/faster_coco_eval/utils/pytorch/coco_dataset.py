"""``FasterCocoDetection``: torchvision's ``CocoDetection`` reading its
annotation file with this package's ``COCO`` instead of pycocotools'."""

from __future__ import annotations

import importlib
import os
from collections.abc import Callable
from typing import Any

from ...core.coco import COCO

_datasets: Any = importlib.import_module("torchvision.datasets")

__all__ = ["FasterCocoDetection"]


class FasterCocoDetection(_datasets.CocoDetection):  # type: ignore[misc]
    """`MS COCO Detection <https://cocodataset.org>`_ dataset: each item is
    an image and the list of its annotation dicts.

    Parameters
    ----------
    root : str or Path
        Directory of the images.
    annFile : str
        The annotation file.
    transform, target_transform, transforms : callable or None
        As torchvision's ``CocoDetection``.

    Examples
    --------
    >>> ds = FasterCocoDetection("val2017", "instances_val2017.json")  # doctest: +SKIP
    >>> image, anns = ds[0]                                            # doctest: +SKIP
    """

    def __init__(
        self,
        root: str | os.PathLike[str],
        annFile: str,
        transform: Callable[..., Any] | None = None,
        target_transform: Callable[..., Any] | None = None,
        transforms: Callable[..., Any] | None = None,
    ) -> None:
        # VisionDataset's initialisation alone: CocoDetection's own would load
        # the file with pycocotools.
        _datasets.VisionDataset.__init__(self, root, transforms, transform, target_transform)
        self.coco = COCO(annFile)
        self.ids = sorted(self.coco.imgs.keys())
