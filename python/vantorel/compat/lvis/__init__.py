"""The lvis package's API (``LVIS``, ``LVISResults``, ``LVISEval``, ``Params``) on the vantorel engine.

Code written against lvis-api switches by changing its import, or by calling
``vantorel.compat.install_as_lvis()`` before it imports ``lvis``. Values,
types, printed lines and log messages (loggers ``lvis.lvis``,
``lvis.results``, ``lvis.eval``) are those of lvis 0.5.3. The matching and
accumulation run in the native engine; the per-image Python objects the
reference builds eagerly (``eval_imgs``, ``ious``, ``eval['dt_pointers']``)
are built only when read.

Where the reference fails outright we do the sound thing instead:

- empty results (an empty list, or ``max_dets=0``) give an empty
  ``LVISResults`` instead of an IndexError;
- segmentation results given as polygons are measured on their image's size
  (the reference only accepts RLEs there and raises TypeError);
- results with neither box nor segmentation get ids instead of a KeyError;
- ``params.use_cats = 0`` evaluates category-agnostically (the reference
  raises IndexError in ``summarize``); the frequency-group lines are then -1;
- ``accumulate()`` before ``evaluate()`` logs the reference's warning, then
  raises RuntimeError instead of an unrelated TypeError.

We also never change the caller's objects: the reference writes ``area``,
``id`` and ``segmentation`` into the result dicts it is given, and
``ignore`` into the ground truth's annotations. ``LVIS`` also accepts an
already-loaded dataset dict. As in the reference, ``params.max_dets`` only
names the cap in the summary (``AR@300``); the cap itself is applied by
``LVISResults`` (its ``max_dets``). Also as in the reference, annotations
whose area is not strictly between 0 and infinity (empty masks, degenerate
boxes) take no part in the evaluation on either side: such a detection is
not counted as a false positive, and such a ground truth does not make its
category verified for the image (``vantorel.evaluate(..., lvis=True)``
does the same), so that published LVIS numbers reproduce.

Example
-------
>>> from vantorel.compat.lvis import LVIS, LVISEval, LVISResults  # doctest: +SKIP
>>> gt = LVIS("lvis_v1_val.json")                                  # doctest: +SKIP
>>> ev = LVISEval(gt, LVISResults(gt, "dets.json"), "bbox")       # doctest: +SKIP
>>> ev.run(); ev.print_results()                                   # doctest: +SKIP

The package is laid out as lvis is: ``lvis`` (``LVIS``), ``results``
(``LVISResults``), ``eval`` (``LVISEval``, ``Params``), ``vis`` (``LVISVis``)
and ``colormap``; ``install_as_lvis()`` registers these modules themselves
under the lvis names.
"""

from __future__ import annotations

from . import colormap, eval, lvis, results, vis  # noqa: F401  (the submodules the aliases serve)
from .eval import LVISEval, Params
from .lvis import LVIS
from .results import LVISResults
from .vis import LVISVis

__all__ = ["LVIS", "LVISEval", "LVISResults", "LVISVis", "Params"]
