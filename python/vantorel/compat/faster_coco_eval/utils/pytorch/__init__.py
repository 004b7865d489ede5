"""``faster_coco_eval.utils.pytorch``: the PyTorch-facing helpers, a
distributed COCO evaluator and a torchvision COCO dataset on this
package's ``COCO`` (PyTorch and torchvision are needed, as there).

Examples
--------
>>> from vantorel.compat.faster_coco_eval.utils.pytorch import FasterCocoEvaluator  # doctest: +SKIP
>>> ev = FasterCocoEvaluator(gt, iou_types=["bbox"])                             # doctest: +SKIP
"""

from .coco_dataset import FasterCocoDetection
from .coco_eval import FasterCocoEvaluator

__all__ = ["FasterCocoDetection", "FasterCocoEvaluator"]
