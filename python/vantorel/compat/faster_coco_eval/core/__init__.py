"""``faster_coco_eval.core``: COCO, the evaluators and the mask functions."""

from . import coco, cocoeval, faster_eval_api, mask
from .coco import COCO
from .faster_eval_api import COCOeval_faster

__all__ = ["COCO", "COCOeval_faster", "coco", "cocoeval", "faster_eval_api", "mask"]
