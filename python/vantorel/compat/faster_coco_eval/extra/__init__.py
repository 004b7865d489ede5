"""``faster_coco_eval.extra``: curves (``Curves``), previews of results and
the confusion matrix (``PreviewResults``) on vantorel's evaluation, and
their drawing.

Deliberate differences from faster-coco-eval:

- Figures are plotly's where plotly is installed (as faster-coco-eval's),
  else matplotlib's (``generate_ann_polygon`` then gives a ``draw.Trace``
  with the same fields).
- A crowd region matched by several detections names the last of them in
  score order as its "dt_id" (faster-coco-eval: whichever its hash order
  gives last); the confusion matrix counts that detection's category.
- The annotations do not get faster-coco-eval's cached "rle" entry.
- Precision values are pycocotools' to the bit (faster-coco-eval's own
  accumulation rounds some in the last place; see ``vantorel.compat.faster``).

Not reproduced: for keypoints, where a detection matches different ground
truths at different thresholds, faster-coco-eval's marks follow its own
threshold order, which can differ from these.

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
