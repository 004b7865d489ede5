"""``python -m vantorel.compat``: which packages this interpreter serves from
vantorel (through ``VANTOREL_AS`` or ``install_as_*``), and whether each
reference package is installed too.

Examples
--------
.. code-block:: console

    $ VANTOREL_AS=pycocotools python -m vantorel.compat
    pycocotools        aliased to vantorel     (installed: 2.0.11, not used)
    lvis               not aliased             (installed: 0.5.3)
    faster_coco_eval   not aliased             (not installed)
"""

from __future__ import annotations

import importlib.machinery
import os
import sys

import _vantorel_aliases


def report() -> list[str]:
    """One line per aliasable package: aliased or not, and the installed reference's version."""
    from importlib import metadata

    lines = []
    active = _vantorel_aliases.active()
    for name in _vantorel_aliases.known():
        # The path finder alone: whether the reference itself is on sys.path.
        present = importlib.machinery.PathFinder.find_spec(name) is not None
        # The installed distribution's own metadata, past the alias's (which
        # would answer with the release it follows while the alias is active).
        context = metadata.DistributionFinder.Context(name=name.replace("_", "-"), path=sys.path)
        found = next(iter(importlib.machinery.PathFinder.find_distributions(context)), None)
        version = found.version if found is not None else "?"
        state = "aliased to vantorel" if name in active else "not aliased"
        if present:
            ref = f"installed: {version}" + (", not used" if name in active else "")
        else:
            ref = "not installed"
        lines.append(f"{name:<18} {state:<23} ({ref})")
    env = os.environ.get(_vantorel_aliases.ENV)
    lines.append(f"{_vantorel_aliases.ENV}={env}" if env is not None else f"{_vantorel_aliases.ENV} is not set")
    return lines


def main() -> int:
    """Prints ``report()``."""
    print("\n".join(report()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
