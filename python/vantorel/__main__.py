"""``python -m vantorel``: the command line (the same as the ``vantorel`` command)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
