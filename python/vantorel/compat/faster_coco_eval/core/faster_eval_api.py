"""``faster_coco_eval.core.faster_eval_api``: the fast evaluator (``COCOeval``
names it too, as ``init_as_pycocotools`` serves this module as
``pycocotools.cocoeval``)."""

from ...faster import COCOeval_faster, FasterParams

COCOeval = COCOeval_faster
Params = FasterParams

__all__ = ["COCOeval", "COCOeval_faster", "Params"]
