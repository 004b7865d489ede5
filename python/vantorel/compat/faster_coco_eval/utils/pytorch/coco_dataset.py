"""``FasterCocoDetection``: torchvision's ``CocoDetection`` reading its
annotation file with this package's ``COCO`` instead of pycocotools': as in
faster-coco-eval, constructing one calls ``init_as_pycocotools()``, which
makes ``pycocotools`` this API for the rest of the process."""

from __future__ import annotations

import importlib
import os
from collections.abc import Callable
from typing import Any

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
        # As faster-coco-eval does: pycocotools becomes this API process-wide
        # (looked up on the package at call time), then torchvision's own
        # initialisation loads the file through it.
        from ... import init_as_pycocotools

        init_as_pycocotools()
        _datasets.CocoDetection.__init__(self, root, annFile, transform, target_transform, transforms)
        self.ids = sorted(self.coco.imgs.keys())
