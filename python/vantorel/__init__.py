"""vantorel: fast, exact COCO and LVIS evaluation with a native core."""

from . import _zerlin

__all__ = ["_zerlin"]
__version__ = "0.1.0"
