"""Module objects for aliased packages that have no vantorel module of their own
(a package's root, the native list-only mask module); ``_vantorel_aliases``
calls these by the module name being imported."""

from __future__ import annotations

import importlib
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


def lvis(name: str) -> types.ModuleType:
    """``lvis`` or one of its modules: ``vantorel.compat.lvis``'s of that
    name. Like the reference's import, the package's gives the root logger
    the reference's format unless logging is configured."""
    mod = importlib.import_module(f"vantorel.compat.{name}")
    if name == "lvis":
        logging.basicConfig(format="[%(asctime)s] %(name)s %(levelname)s: %(message)s", datefmt="%m/%d %H:%M:%S")
    return mod


def panopticapi(name: str) -> types.ModuleType:
    """The ``panopticapi`` package itself; its ``evaluation`` and ``utils``
    modules are both served by ``vantorel.compat.panopticapi``."""
    return types.ModuleType(name, "vantorel's panopticapi-compatible API.")
