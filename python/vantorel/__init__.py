"""vantorel: fast, exact COCO and LVIS evaluation with a native core."""

from . import _zerlin as _zerlin  # the native module, as vantorel._zerlin
from . import panoptic
from ._version import __version__
from ._zerlin import CompactBbox, load_compact_array, load_compact_bbox
from .evaluation import evaluate
from .loading import JsonError, read_json
from .panoptic import pq_compute
from .params import Params
from .pose import evaluate_wholebody
from .results import CategoryTable, EvalResult
from .streaming import StreamingEvaluator

__all__ = [
    "CategoryTable",
    "CompactBbox",
    "EvalResult",
    "JsonError",
    "Params",
    "StreamingEvaluator",
    "__version__",
    "analysis",
    "evaluate",
    "evaluate_wholebody",
    "load_compact_array",
    "load_compact_bbox",
    "panoptic",
    "pq_compute",
    "read_json",
]


def __getattr__(name: str) -> object:
    # The analysis package loads on first use, keeping `import vantorel` light.
    if name == "analysis":
        import importlib

        return importlib.import_module(".analysis", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
