"""Import aliases: ``pycocotools``, ``lvis`` and ``faster_coco_eval`` served by vantorel's drop-ins.

A finder on ``sys.meta_path`` answers for the aliased packages and each of
their submodules with a real ``ModuleSpec``, so ``import pycocotools.mask``,
``importlib.util.find_spec("pycocotools")`` and availability checks built on
them behave as with the reference installed, whether it is or not. Nothing
of vantorel (nor NumPy) is imported until an aliased module is.

This module stands outside the ``vantorel`` package and uses the standard
library alone, because ``vantorel-aliases.pth`` imports it at interpreter
start when ``VANTOREL_AS`` is set (``VANTOREL_AS=pycocotools,lvis,faster_coco_eval``
or ``all``); that is how spawned workers (DDP, multiprocessing's spawn,
Dask) get the same aliases as their parent. ``vantorel.compat.install_as_*``
use the same finder.

Examples
--------
>>> import _vantorel_aliases
>>> _vantorel_aliases.install("pycocotools")    # doctest: +SKIP
>>> import importlib.util
>>> importlib.util.find_spec("pycocotools.mask").name   # doctest: +SKIP
'pycocotools.mask'
"""

from __future__ import annotations

import importlib
import importlib.abc
import importlib.machinery
import os
import sys
import threading
import types
import warnings
from collections.abc import Iterator, Sequence
from typing import Any

ENV = "VANTOREL_AS"

#: Each aliased module and what serves it: "module" (that module itself) or
#: "module:function" (``function(name)`` builds it). The names are those the
#: reference packages have, less their native internals.
_FASTER = "vantorel.compat.faster_coco_eval"
_SOURCES: dict[str, dict[str, str]] = {
    "pycocotools": {
        "pycocotools": "vantorel.compat._packages:pycocotools",
        "pycocotools.coco": "vantorel.compat.coco",
        "pycocotools.cocoeval": "vantorel.compat.cocoeval",
        "pycocotools.mask": "vantorel.compat.mask",
        "pycocotools._mask": "vantorel.compat._packages:raw_mask",
    },
    "lvis": {
        name: "vantorel.compat._packages:lvis"
        for name in ("lvis", "lvis.lvis", "lvis.results", "lvis.eval", "lvis.vis", "lvis.colormap")
    },
    "faster_coco_eval": {
        "faster_coco_eval.mask_api_new_cpp": "vantorel.compat._packages:raw_mask",
        **{
            "faster_coco_eval" + sub: _FASTER + sub
            for sub in ("", ".version", ".core", ".core.coco", ".core.cocoeval", ".core.faster_eval_api", ".core.mask")
        },
        **{
            "faster_coco_eval" + sub: _FASTER + sub
            for sub in (".utils", ".utils.pytorch", ".utils.pytorch.coco_eval", ".utils.pytorch.coco_dataset")
        },
        **{
            "faster_coco_eval.extra" + sub: _FASTER + ".extra" + sub
            for sub in ("", ".curves", ".display", ".draw", ".extra", ".utils")
        },
    },
    "panopticapi": {
        "panopticapi": "vantorel.compat._packages:panopticapi",
        "panopticapi.evaluation": "vantorel.compat.panopticapi",
        "panopticapi.utils": "vantorel.compat.panopticapi",
    },
    "xtcocotools": {
        "xtcocotools" + sub: "vantorel.compat.xtcocotools" + sub for sub in ("", ".coco", ".cocoeval", ".mask")
    },
}
_PACKAGES = {"pycocotools", "lvis", "faster_coco_eval", "faster_coco_eval.core", "panopticapi", "xtcocotools"}
_PACKAGES |= {"faster_coco_eval.utils", "faster_coco_eval.utils.pytorch", "faster_coco_eval.extra"}
#: The distribution each alias stands for, with the release whose API it
#: follows: version checks (``importlib.metadata``, packaging requirements,
#: installers' "is it there?") see the alias as that release.
_DISTRIBUTIONS = {"pycocotools": ("pycocotools", "2.0.11"), "lvis": ("lvis", "0.5.3"),
                  "faster_coco_eval": ("faster-coco-eval", "1.8.0"), "xtcocotools": ("xtcocotools", "1.14.3"),
                  "panopticapi": ("panopticapi", "0.1")}  # fmt: skip

_lock = threading.RLock()
_active: set[str] = set()


def known() -> tuple[str, ...]:
    """The package names that can be aliased."""
    return tuple(_SOURCES)


def active() -> tuple[str, ...]:
    """The package names aliased in this process, in ``known()`` order."""
    with _lock:
        return tuple(name for name in _SOURCES if name in _active)


class _AliasLoader(importlib.abc.Loader):
    """Serves an aliased module from its vantorel source."""

    def __init__(self, source: str) -> None:
        self.source = source
        self._own_specs: dict[int, object] = {}

    def create_module(self, description: importlib.machinery.ModuleSpec) -> types.ModuleType:
        target, _, builder = self.source.partition(":")
        mod = importlib.import_module(target)
        if builder:
            mod = getattr(mod, builder)(description.name)
        if mod.__spec__ is not None:
            # A vantorel module served under the alias's name: the import system
            # stamps the alias's module description onto it, and exec_module puts its own back.
            self._own_specs[id(mod)] = mod.__spec__
        return mod

    def exec_module(self, module: types.ModuleType) -> None:
        own = self._own_specs.pop(id(module), None)
        if own is not None:
            module.__spec__ = own  # type: ignore[assignment]
        # A package whose reference imports its submodules on import does so here,
        # once the package itself is in sys.modules.
        for sub in getattr(module, "_alias_submodules", ()):
            importlib.import_module(f"{module.__name__}.{sub}")


class AliasFinder(importlib.abc.MetaPathFinder):
    """Finds the modules of the active aliases (ahead of the reference packages, if installed)."""

    def find_spec(
        self, fullname: str, path: Sequence[str] | None = None, target: types.ModuleType | None = None
    ) -> importlib.machinery.ModuleSpec | None:
        root = fullname.partition(".")[0]
        if root not in _active:
            return None
        source = _SOURCES[root].get(fullname)
        if source is None:
            return None  # not a module the reference has: ModuleNotFoundError, as there
        is_package = fullname in _PACKAGES
        return importlib.machinery.ModuleSpec(fullname, _AliasLoader(source), is_package=is_package)

    def find_distributions(self, context: Any = None) -> Iterator[Any]:
        """The metadata of the active aliases' distributions (``importlib.metadata``
        asks each meta-path finder), named as the reference's with a
        ``+vantorel`` local version."""
        from importlib import metadata

        wanted = getattr(context, "name", None)
        for root in active():
            dist_name, version = _DISTRIBUTIONS[root]
            if wanted is None or _normalized(wanted) == _normalized(dist_name):
                yield _AliasDistribution(dist_name, f"{version}+vantorel", metadata.Distribution)


def _normalized(name: str) -> str:
    return name.lower().replace("-", "_").replace(".", "_")


def _AliasDistribution(name: str, version: str, base: type) -> Any:
    """A distribution whose only file is its METADATA (made on demand, so that
    ``importlib.metadata`` is imported only when someone asks)."""

    class AliasDistribution(base):  # type: ignore[misc]
        def read_text(self, filename: str) -> str | None:
            if filename == "METADATA":
                return f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\nSummary: served by vantorel\n"
            return None

        def locate_file(self, path: Any) -> Any:
            return os.path.join(os.path.dirname(__file__), str(path))

    return AliasDistribution()


_FINDER = AliasFinder()


def install(*names: str) -> None:
    """Aliases each named package (see ``known()``; "all" for every one):
    later imports of it and its submodules resolve to vantorel's drop-ins.
    Modules of that name already imported (the reference's, say) are
    dropped from ``sys.modules``, so the next import takes the alias."""
    wanted = list(_SOURCES) if "all" in names else list(names)
    unknown = [n for n in wanted if n not in _SOURCES]
    if unknown:
        raise ValueError(f"cannot alias {', '.join(map(repr, unknown))}; known: {', '.join(_SOURCES)}")
    with _lock:
        if _FINDER not in sys.meta_path:
            sys.meta_path.insert(0, _FINDER)
        for name in wanted:
            if name in _active:
                continue
            for mod_name in [m for m in sys.modules if m == name or m.startswith(name + ".")]:
                del sys.modules[mod_name]
            _active.add(name)
        importlib.invalidate_caches()


def uninstall(*names: str) -> None:
    """Stops aliasing each named package; modules already imported through
    the alias stay in ``sys.modules`` (drop them to import the reference)."""
    with _lock:
        _active.difference_update(names)
        if not _active and _FINDER in sys.meta_path:
            sys.meta_path.remove(_FINDER)


def install_from_environment() -> None:
    """Aliases the packages named in ``VANTOREL_AS`` (comma-separated); an
    unknown name is reported as a warning, not an error, as this runs at
    interpreter start."""
    names = [n.strip() for n in os.environ.get(ENV, "").split(",") if n.strip()]
    good = [n for n in names if n in _SOURCES or n == "all"]
    if len(good) != len(names):
        bad = ", ".join(n for n in names if n not in good)
        warnings.warn(f"{ENV}: cannot alias {bad}; known: {', '.join(_SOURCES)}", RuntimeWarning, stacklevel=1)
    if good:
        install(*good)
