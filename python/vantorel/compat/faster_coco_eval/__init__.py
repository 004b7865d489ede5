"""faster-coco-eval's package layout on vantorel's engine: ``COCO``,
``COCOeval_faster`` and ``init_as_pycocotools`` at the top, the
``core.{coco, cocoeval, faster_eval_api, mask}`` modules beneath, and
``utils.pytorch`` (``FasterCocoEvaluator``, ``FasterCocoDetection``; needs
PyTorch and torchvision, imported only with it).

``vantorel.compat.install_as_faster_coco_eval()`` (or ``VANTOREL_AS=faster_coco_eval``)
makes ``import faster_coco_eval`` resolve here. Not provided: its native
extension modules' private helpers (``faster_eval_api_cpp``, the
underscore functions of ``mask_api_new_cpp``).

Examples
--------
>>> from vantorel.compat.faster_coco_eval import COCO, COCOeval_faster
>>> COCOeval_faster.__name__
'COCOeval_faster'
"""

from ..faster import init_as_pycocotools
from .core import COCO, COCOeval_faster, coco, mask
from .core import faster_eval_api as cocoeval
from .version import __author__, __version__

__all__ = ["COCO", "COCOeval_faster", "__author__", "__version__", "coco", "cocoeval", "init_as_pycocotools", "mask"]
