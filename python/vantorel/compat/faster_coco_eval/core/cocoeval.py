"""``faster_coco_eval.core.cocoeval``: the evaluator and its parameters."""

from ...faster import COCO, COCOeval_faster, FasterParams

COCOeval = COCOeval_faster
Params = FasterParams

__all__ = ["COCO", "COCOeval", "Params"]
