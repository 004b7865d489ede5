"""The lvis package's visualisation API (``LVISVis``, ``colormap``): kept
under this name for existing imports; the modules are
``vantorel.compat.lvis.vis`` and ``vantorel.compat.lvis.colormap``."""

from .lvis.colormap import colormap
from .lvis.vis import LVISVis

__all__ = ["LVISVis", "colormap"]
