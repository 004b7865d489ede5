"""Error analysis of an evaluation: PR and F1 curves, a confusion matrix,
TIDE's error breakdown and the COCO analysis breakdown, all from the
engine's per-instance verdicts in column form.

The numeric functions need only NumPy; ``vantorel.analysis.plots`` draws
them with matplotlib (``pip install vantorel[plots]``).
"""

from ._session import Session, open_session
from .breakdown import coco_breakdown
from .confusion import confusion_matrix
from .curves import f1_curve, pr_curves
from .report import analyze, format_analysis, write_report
from .tide import error_breakdown

__all__ = [
    "Session",
    "analyze",
    "coco_breakdown",
    "confusion_matrix",
    "error_breakdown",
    "f1_curve",
    "format_analysis",
    "open_session",
    "pr_curves",
    "write_report",
]
