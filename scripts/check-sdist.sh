#!/usr/bin/env bash
# The sdist as a complete source release:
#   1. built from this checkout, and checked to carry every file git tracks
#      (the licence, the tests and the sample data they read included);
#   2. unpacked away from this tree, installed with pip in a clean venv
#      (built there from the sdist alone), and the whole test suite run from
#      the sdist's own copy of the tests against the installed package.
# Not part of the test command (10 to 20 minutes here, most of it the suite).
# Usage: bash scripts/check-sdist.sh [pytest arguments]. Uses python3 (or
# $PYTHON); the panoptic oracle environment of scripts/test.sh
# (build/panoptic-oracle) is used when it exists, else made for the run. The
# sdist is kept in $VANTOREL_SDIST_DIR when that is set.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PYTHON:-python3}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# fast_float's headers, which the build reads floats with (without them CMake
# would fetch a release), from Debian's package as in scripts/test.sh.
if ! dpkg -s libfast-float-dev >/dev/null 2>&1; then
  SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libfast-float-dev >/dev/null
fi

"$PY" -m venv "$WORK/tools"
"$WORK/tools/bin/pip" install -q build
OUT=${VANTOREL_SDIST_DIR:-$WORK/sdist}
rm -f "$OUT"/vantorel-*.tar.gz
"$WORK/tools/bin/python" -m build -q --sdist -o "$OUT" .
SDIST=$(realpath "$OUT"/vantorel-*.tar.gz)

# Every tracked file must be in it: a file left out would surface only on a
# packager's machine.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  missing=$(comm -23 <(git ls-files | sort) <(tar -tzf "$SDIST" | sed 's|^[^/]*/||' | sort))
  if [ -n "$missing" ]; then
    echo "tracked files missing from the sdist:" >&2
    echo "$missing" >&2
    exit 1
  fi
fi
echo "sdist: $(basename "$SDIST"), $(tar -tzf "$SDIST" | grep -vc '/$') files"

mkdir "$WORK/unpacked"
tar -xzf "$SDIST" -C "$WORK/unpacked"
SRC=$(echo "$WORK"/unpacked/vantorel-*)
"$PY" -m venv "$WORK/venv"
"$WORK/venv/bin/pip" install -q --upgrade pip
"$WORK/venv/bin/pip" install -q -r "$SRC/requirements-test.txt"
# An ordinary install: pip builds the sdist in its own isolated environment.
"$WORK/venv/bin/pip" install -q "$SDIST"

ORACLE=$ROOT/build/panoptic-oracle
if ! "$ORACLE/bin/python" -c "import panopticapi.evaluation" >/dev/null 2>&1; then
  ORACLE=$WORK/panoptic-oracle
  { "$PY" -m venv "$ORACLE" && "$ORACLE/bin/python" -m pip install -q "numpy<2" pillow panopticapi-lite; } \
    || echo "panopticapi environment not made; the panoptic oracle tests skip" >&2
fi
export VANTOREL_PANOPTIC_ORACLE=$ORACLE/bin/python

# From the sdist's tests/, so that only the installed package can be imported.
cd "$SRC/tests"
where=$("$WORK/venv/bin/python" -c 'import vantorel, os; print(os.path.dirname(vantorel.__file__))')
case $where in
  "$WORK/venv/"*) echo "testing the installed package in $where" ;;
  *) echo "vantorel imported from $where, not from the clean venv" >&2; exit 1 ;;
esac
"$WORK/venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
