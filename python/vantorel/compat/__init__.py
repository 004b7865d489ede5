"""Drop-in replacements for the pycocotools and lvis APIs, on the vantorel engine."""


def install_as_lvis() -> None:
    """Makes later ``import lvis`` (and its submodules) resolve to ``vantorel.compat.lvis``."""
    from .lvis import _install

    _install()
