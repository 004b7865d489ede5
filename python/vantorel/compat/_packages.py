"""Module objects for aliased packages that have no vantorel module of their own
(a package's root, the native list-only mask module); ``_vantorel_aliases``
calls these by the module name being imported."""

from __future__ import annotations

import logging
import types

from .. import _zerlin

_RAW_MASK_FUNCTIONS = ("encode", "decode", "merge", "area", "toBbox", "iou", "frPyObjects", "frBbox", "frPoly",
                       "frUncompressedRLE")  # fmt: skip


def pycocotools(name: str) -> types.ModuleType:
    """The ``pycocotools`` package itself (its submodules are attached as they are imported)."""
    pkg = types.ModuleType(name, "vantorel's pycocotools-compatible API.")
    pkg.__version__ = "2.0+vantorel"  # type: ignore[attr-defined]
    return pkg


def raw_mask(name: str) -> types.ModuleType:
    """``pycocotools._mask`` (or faster-coco-eval's ``mask_api_new_cpp``):
    the list-only mask functions, as the native module has them."""
    mod = types.ModuleType(name, "The native RLE functions, list in, list out.")
    for fn in _RAW_MASK_FUNCTIONS:
        setattr(mod, fn, getattr(_zerlin, fn))
    return mod


_LVIS_MEMBERS = {
    "lvis.lvis": ("LVIS",),
    "lvis.results": ("LVIS", "LVISResults"),
    "lvis.eval": ("LVIS", "LVISResults", "LVISEval", "Params"),
    "lvis.colormap": ("colormap",),
    "lvis.vis": ("LVIS", "LVISResults", "LVISVis", "colormap"),
    "lvis": ("LVIS", "LVISResults", "LVISEval", "LVISVis"),
}


def lvis(name: str) -> types.ModuleType:
    """A module of the ``lvis`` package, holding the names the reference's has.
    Like the reference's import, the package's gives the root logger the
    reference's format unless logging is configured."""
    from . import lvis as ours
    from .lvis_vis import LVISVis, colormap

    everything = {**vars(ours), "LVISVis": LVISVis, "colormap": colormap}
    mod = types.ModuleType(name, "The lvis package API on the vantorel engine.")
    for member in _LVIS_MEMBERS[name]:
        setattr(mod, member, everything[member])
    mod.__package__ = "lvis"
    if name == "lvis":
        mod.__all__ = list(_LVIS_MEMBERS["lvis"])  # type: ignore[attr-defined]
        mod._alias_submodules = ("lvis", "results", "eval", "colormap", "vis")  # type: ignore[attr-defined]
        logging.basicConfig(format="[%(asctime)s] %(name)s %(levelname)s: %(message)s", datefmt="%m/%d %H:%M:%S")
    return mod
