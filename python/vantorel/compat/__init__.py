"""Drop-in replacements for the pycocotools and lvis APIs, on vantorel's engine.

Change an import::

    from vantorel.compat.coco import COCO            # was: from pycocotools.coco import COCO
    from vantorel.compat.cocoeval import COCOeval    # was: from pycocotools.cocoeval import COCOeval

or, for code that cannot be edited, call ``install_as_pycocotools()`` (or
``install_as_lvis()``) before that code imports the reference package; its
later imports then resolve to these modules.

Examples
--------
>>> import vantorel.compat
>>> vantorel.compat.install_as_pycocotools()
>>> from pycocotools.cocoeval import COCOeval
>>> COCOeval.__module__
'vantorel.compat.cocoeval'
"""

from __future__ import annotations

import sys
import types

from . import coco, cocoeval, faster, mask
from .coco import COCO
from .cocoeval import COCOeval, COCOeval_opt, Params
from .faster import COCOeval_faster

__all__ = [
    "COCO",
    "COCOeval",
    "COCOeval_faster",
    "COCOeval_opt",
    "Params",
    "coco",
    "cocoeval",
    "faster",
    "install_as_faster_coco_eval",
    "install_as_lvis",
    "install_as_panopticapi",
    "install_as_pycocotools",
    "mask",
]


def _raw_mask_module() -> types.ModuleType:
    """``pycocotools._mask``: the list-only mask functions, as the native module has them."""
    from .. import _zerlin

    mod = types.ModuleType("pycocotools._mask", "The native RLE functions, list in, list out.")
    for name in ("encode", "decode", "merge", "area", "toBbox", "iou", "frPyObjects", "frBbox", "frPoly",
                 "frUncompressedRLE"):  # fmt: skip
        setattr(mod, name, getattr(_zerlin, name))
    return mod


def install_as_pycocotools() -> None:
    """Makes later ``import pycocotools`` (and ``pycocotools.coco``,
    ``pycocotools.cocoeval``, ``pycocotools.mask``, ``pycocotools._mask``)
    resolve to vantorel's modules, replacing any already imported.

    Examples
    --------
    >>> from vantorel.compat import install_as_pycocotools
    >>> install_as_pycocotools()
    >>> from pycocotools import mask
    >>> mask.__name__
    'vantorel.compat.mask'
    """
    pkg = types.ModuleType("pycocotools", "vantorel's pycocotools-compatible API.")
    pkg.__path__ = []  # a package, so that submodule imports consult sys.modules
    pkg.coco, pkg.cocoeval, pkg.mask = coco, cocoeval, mask  # type: ignore[attr-defined]
    pkg._mask = _raw_mask_module()  # type: ignore[attr-defined]
    pkg.__version__ = "2.0+vantorel"  # type: ignore[attr-defined]
    sys.modules.update(
        {
            "pycocotools": pkg,
            "pycocotools.coco": coco,
            "pycocotools.cocoeval": cocoeval,
            "pycocotools.mask": mask,
            "pycocotools._mask": pkg._mask,
        }
    )


def install_as_faster_coco_eval() -> None:
    """Makes later ``import faster_coco_eval`` (``from faster_coco_eval import
    COCO, COCOeval_faster, init_as_pycocotools``, and its ``coco``,
    ``cocoeval``, ``mask`` and ``core`` submodules) resolve to
    ``vantorel.compat.faster``.

    Examples
    --------
    >>> install_as_faster_coco_eval()                      # doctest: +SKIP
    >>> from faster_coco_eval import COCOeval_faster       # doctest: +SKIP
    >>> COCOeval_faster.__module__                         # doctest: +SKIP
    'vantorel.compat.faster'
    """
    faster._install()


def install_as_lvis() -> None:
    """Makes later ``import lvis`` (``from lvis import LVIS, LVISResults,
    LVISEval`` and its submodules) resolve to vantorel's modules."""
    from .lvis import _install

    _install()


def install_as_panopticapi() -> None:
    """Makes later ``import panopticapi`` (``panopticapi.evaluation``,
    ``panopticapi.utils``) resolve to ``vantorel.compat.panopticapi``."""
    from .panopticapi import install_as_panopticapi as install

    install()
