"""xtcocotools' API (the extended COCO API that MMPose depends on) on
vantorel's engine: its ``coco`` and ``mask`` modules serve the pycocotools
drop-in's ``COCO`` and RLE functions, its ``cocoeval`` has xtcocotools' constructor
``COCOeval(cocoGt, cocoDt, iouType, sigmas, use_area)`` and its CrowdPose
type "keypoints_crowd"::

    from vantorel.compat.xtcocotools.cocoeval import COCOeval  # was: from xtcocotools.cocoeval import COCOeval

or call ``vantorel.compat.install_as_xtcocotools()`` before code that
imports xtcocotools (MMPose's metrics) runs.

Examples
--------
>>> from vantorel.compat.xtcocotools import install
>>> install()
>>> import xtcocotools.cocoeval
>>> xtcocotools.cocoeval.COCOeval.__module__
'vantorel.compat.xtcocotools.cocoeval'
"""

from __future__ import annotations

import importlib
import sys
import types

from . import coco, cocoeval, mask

__all__ = ["ALIASES", "coco", "cocoeval", "install", "mask"]

#: Each module of the xtcocotools package and the vantorel module serving it,
#: in the form of the import aliases' source table.
ALIASES = {
    "xtcocotools": "vantorel.compat.xtcocotools",
    "xtcocotools.coco": "vantorel.compat.xtcocotools.coco",
    "xtcocotools.cocoeval": "vantorel.compat.xtcocotools.cocoeval",
    "xtcocotools.mask": "vantorel.compat.xtcocotools.mask",
}
#: The release whose API the alias follows.
DISTRIBUTION = ("xtcocotools", "1.14.3")


def install() -> None:
    """Makes later ``import xtcocotools`` (and its ``coco``, ``cocoeval`` and
    ``mask`` modules) resolve to vantorel's modules, replacing any already
    imported: through the package's import aliases where they know
    xtcocotools, else by entering the modules in ``sys.modules``."""
    try:
        import _vantorel_aliases  # type: ignore[import-not-found]
    except ImportError:
        _vantorel_aliases = None
    if _vantorel_aliases is not None and "xtcocotools" in _vantorel_aliases.known():
        _vantorel_aliases.install("xtcocotools")
        importlib.import_module("xtcocotools")
        return
    pkg = sys.modules[__name__]
    for name, source in ALIASES.items():
        module = pkg if name == "xtcocotools" else importlib.import_module(source)
        assert isinstance(module, types.ModuleType)
        sys.modules[name] = module
