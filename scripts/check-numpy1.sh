#!/usr/bin/env bash
# Proves that one wheel serves both NumPy majors: builds it (against NumPy 2
# headers, as the build requires) and runs a few test files in a fresh
# virtual environment that has NumPy 1.26.
# Uses the active Python (or $PYTHON); the wheel is built in a temporary
# directory, so the checkout is left as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

ZERLIN_WERROR=ON "$PY" -m pip wheel -q --no-deps -w "$WORK/dist" .
"$PY" -m venv "$WORK/venv"
VPY="$WORK/venv/bin/python"
"$VPY" -m pip install -q "numpy==1.26.*" pytest "$WORK"/dist/vantorel-*.whl
"$VPY" -m pip install -q "numpy==1.26.*" pycocotools  # the oracle, without letting it lift NumPy to 2
"$VPY" -c 'import numpy, vantorel; assert numpy.__version__.startswith("1.26"), numpy.__version__; print("vantorel", vantorel.__version__, "with numpy", numpy.__version__)'
cd tests
"$VPY" -m pytest -q -p no:cacheprovider test_surface.py test_summary.py test_masks.py test_frontend.py test_product.py "$@"
