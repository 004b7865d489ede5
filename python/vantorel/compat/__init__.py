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
    "aliased",
    "coco",
    "cocoeval",
    "faster",
    "install_as_faster_coco_eval",
    "install_as_lvis",
    "install_as_panopticapi",
    "install_as_pycocotools",
    "install_as_xtcocotools",
    "mask",
]


def _alias(name: str) -> None:
    """Aliases ``name`` through the import finder and imports its root, so
    that it stands in ``sys.modules`` as the reference would once imported."""
    import importlib

    import _vantorel_aliases

    _vantorel_aliases.install(name)
    importlib.import_module(name)


def install_as_pycocotools() -> None:
    """Makes later ``import pycocotools`` (and ``pycocotools.coco``,
    ``pycocotools.cocoeval``, ``pycocotools.mask``, ``pycocotools._mask``)
    resolve to vantorel's modules, replacing any already imported. The
    aliases are real packages to the import system (``importlib.util.find_spec``
    finds them); for spawned workers set ``VANTOREL_AS=pycocotools`` instead.

    Examples
    --------
    >>> from vantorel.compat import install_as_pycocotools
    >>> install_as_pycocotools()
    >>> from pycocotools import mask
    >>> mask.__name__
    'vantorel.compat.mask'
    """
    _alias("pycocotools")


def install_as_faster_coco_eval() -> None:
    """Makes later ``import faster_coco_eval`` (``from faster_coco_eval import
    COCO, COCOeval_faster, init_as_pycocotools``, and its ``core.coco``,
    ``core.cocoeval``, ``core.faster_eval_api`` and ``core.mask`` submodules)
    resolve to ``vantorel.compat.faster_coco_eval``.

    Examples
    --------
    >>> install_as_faster_coco_eval()                      # doctest: +SKIP
    >>> from faster_coco_eval import COCOeval_faster       # doctest: +SKIP
    >>> COCOeval_faster.__module__                         # doctest: +SKIP
    'vantorel.compat.faster'
    """
    _alias("faster_coco_eval")


def install_as_xtcocotools() -> None:
    """Makes later ``import xtcocotools`` (its ``coco``, ``cocoeval`` and
    ``mask`` modules, as MMPose's metrics import them) resolve to
    ``vantorel.compat.xtcocotools``."""
    _alias("xtcocotools")


def install_as_lvis() -> None:
    """Makes later ``import lvis`` (``from lvis import LVIS, LVISResults,
    LVISEval`` and its submodules) resolve to vantorel's modules."""
    _alias("lvis")


def install_as_panopticapi() -> None:
    """Makes later ``import panopticapi`` (``panopticapi.evaluation``,
    ``panopticapi.utils``) resolve to ``vantorel.compat.panopticapi``."""
    _alias("panopticapi")


def aliased() -> tuple[str, ...]:
    """The package names this process serves from vantorel (see ``install_as_*``
    and ``VANTOREL_AS``).

    Examples
    --------
    >>> install_as_pycocotools(); "pycocotools" in aliased()   # doctest: +SKIP
    True
    """
    import _vantorel_aliases

    return _vantorel_aliases.active()
