"""The faster-coco-eval release whose API this package follows."""

from ..faster import _AUTHOR as __author__
from ..faster import _VERSION as __version__

__all__ = ["__author__", "__version__"]
