"""Module objects for aliased packages that have no vantorel module of their own
(a package's root, the native list-only mask module); ``_vantorel_aliases``
calls these by the module name being imported."""

from __future__ import annotations

import importlib
import logging
import types
from typing import Any

from .. import _zerlin
from .mask import _check_runs, frPyObjects

_RAW_MASK_FUNCTIONS = ("encode", "decode", "merge", "area", "toBbox", "iou", "frPyObjects", "frBbox", "frPoly",
                       "frUncompressedRLE")  # fmt: skip


def pycocotools(name: str) -> types.ModuleType:
    """The ``pycocotools`` package itself (its submodules are attached as they are imported)."""
    pkg = types.ModuleType(name, "vantorel's pycocotools-compatible API.")
    pkg.__version__ = "2.0+vantorel"  # type: ignore[attr-defined]
    return pkg


def raw_mask(name: str) -> types.ModuleType:
    """``pycocotools._mask`` (or faster-coco-eval's ``mask_api_new_cpp``):
    the list-only mask functions, as the native module has them (pycocotools'
    ``decode`` refuses runs that overrun h*w, as the reference does)."""
    if name.startswith("faster_coco_eval."):
        return importlib.import_module("vantorel.compat.faster_coco_eval.mask_api_new_cpp")
    mod = types.ModuleType(name, "The native RLE functions, list in, list out.")
    for fn in _RAW_MASK_FUNCTIONS:
        setattr(mod, fn, getattr(_zerlin, fn))
    mod.decode = _checked_decode  # type: ignore[attr-defined]
    mod.frPyObjects = frPyObjects  # type: ignore[attr-defined]
    return mod


def _checked_decode(rleObjs: list[Any]) -> Any:
    """pycocotools' raw ``decode``: ValueError for runs that overrun h*w."""
    _check_runs(rleObjs, first_size=True)
    return _zerlin.decode(rleObjs)


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
