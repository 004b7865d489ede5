"""``faster_coco_eval.extra``: curves (``Curves``), previews of results and
the confusion matrix (``PreviewResults``) on vantorel's evaluation, and
their drawing.

Deliberate differences from faster-coco-eval:

- Figures are plotly's where plotly is installed (as faster-coco-eval's),
  else matplotlib's (``generate_ann_polygon`` then gives a ``draw.Trace``
  with the same fields).
- A ground truth matched by several detections (a crowd region; for
  keypoints, also one matched by different detections at different
  thresholds) names the last of them in score order (at the last such
  threshold) as its "dt_id"; faster-coco-eval names whichever its hash
  order gives last. The confusion matrix counts that detection's category.
- The annotations do not get faster-coco-eval's cached "rle" entry.
- Precision values are pycocotools' to the bit (faster-coco-eval's own
  accumulation rounds some in the last place; see ``vantorel.compat.faster``).

Keypoint similarities are the engine's, which can differ from
faster-coco-eval's in the last bit (the "iou" marks show it).

Examples
--------
>>> from vantorel.compat.faster_coco_eval.extra import Curves, PreviewResults
>>> Curves.__name__, PreviewResults.__name__
('Curves', 'PreviewResults')
"""

from . import curves, display, draw, extra, utils
from .curves import Curves
from .display import PreviewResults

__all__ = ["Curves", "PreviewResults", "curves", "display", "draw", "extra", "utils"]
