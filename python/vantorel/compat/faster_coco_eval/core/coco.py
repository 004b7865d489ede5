"""``faster_coco_eval.core.coco``: the dataset class."""

from ...faster import COCO

__all__ = ["COCO"]
