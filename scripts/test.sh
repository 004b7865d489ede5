#!/usr/bin/env bash
# Checks the sources with ruff and clang-format, builds and installs vantorel,
# then runs every test: the C++ core tests (GoogleTest through ctest, with the
# fuzz corpora replayed) and the Python tests (pytest); then the same under
# AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitize.sh), a short run of every
# fuzz target (fuzz/run.sh) and the core built for Windows (run under wine)
# and with Clang + libc++ (scripts/check-portability.sh).
# Uses the active Python (or $PYTHON); set VANTOREL_SKIP_INSTALL=1 to test
# what is already installed, VANTOREL_SANITIZE=0 to skip the sanitizer run,
# VANTOREL_FUZZ_SECONDS=N for N seconds per fuzz target (0 skips fuzzing),
# VANTOREL_PORTABILITY=0 to skip the Windows and libc++ builds.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}

# The C++ tests need GoogleTest, and the build reads floats with fast_float's
# headers (without them CMake would fetch a release), from Debian's packages;
# clang-format checks the C++ layout.
if ! dpkg -s libgtest-dev libfast-float-dev clang-format >/dev/null 2>&1; then
  SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libgtest-dev libfast-float-dev clang-format g++ >/dev/null
fi

if [ "${VANTOREL_SKIP_INSTALL:-0}" != 1 ]; then
  "$PY" -m pip install -q -r requirements-test.txt
fi

# Lint and layout first: seconds, and a failure here needs no build to find.
"$PY" -m ruff check .
"$PY" -m ruff format --check .
find zerlin-core zerlin-py fuzz \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -print0 \
  | xargs -0 clang-format --dry-run -Werror

if [ "${VANTOREL_SKIP_INSTALL:-0}" != 1 ]; then
  ZERLIN_WERROR=ON "$PY" -m pip install -q --no-build-isolation .
fi

cmake -S . -B build/core-tests -G Ninja -DZERLIN_TESTS=ON -DZERLIN_WERROR=ON >/dev/null
cmake --build build/core-tests -j2
(cd build/core-tests && ctest --output-on-failure -j2)

# The package's annotations, strictly (the stub of the native module included).
"$PY" -m mypy --strict python/vantorel

# panopticapi, the panoptic tests' oracle, needs NumPy < 2: it gets its own
# environment (the tests skip, saying so, when it cannot be made).
ORACLE=build/panoptic-oracle
if ! "$ORACLE/bin/python" -c "import panopticapi.evaluation" >/dev/null 2>&1; then
  rm -rf "$ORACLE"
  { "$PY" -m venv "$ORACLE" && "$ORACLE/bin/python" -m pip install -q "numpy<2" pillow panopticapi-lite; } \
    || { echo "panopticapi environment not made; the panoptic oracle tests skip" >&2; rm -rf "$ORACLE"; }
fi
export VANTOREL_PANOPTIC_ORACLE="$PWD/$ORACLE/bin/python"

# xtcocotools, the pose tests' oracle, is built against NumPy 1 too: its own
# environment as well (the pose oracle tests skip, saying so, without it).
POSE_ORACLE=build/xtcocotools-oracle
if ! "$POSE_ORACLE/bin/python" -c "import xtcocotools.cocoeval" >/dev/null 2>&1; then
  rm -rf "$POSE_ORACLE"
  { "$PY" -m venv "$POSE_ORACLE" && "$POSE_ORACLE/bin/python" -m pip install -q "numpy<2" xtcocotools; } \
    || { echo "xtcocotools environment not made; the pose oracle tests skip" >&2; rm -rf "$POSE_ORACLE"; }
fi
export VANTOREL_XTCOCOTOOLS_PYTHON="${VANTOREL_XTCOCOTOOLS_PYTHON:-$PWD/$POSE_ORACLE/bin/python}"

# Run from tests/ so the installed package, not the source tree, is imported.
"$PY" -m pytest -q -p no:cacheprovider tests "$@"

if [ "${VANTOREL_SANITIZE:-1}" != 0 ]; then
  PYTHON="$PY" bash scripts/sanitize.sh
fi
if [ "${VANTOREL_FUZZ_SECONDS:-20}" != 0 ]; then
  bash fuzz/run.sh
fi
if [ "${VANTOREL_PORTABILITY:-1}" != 0 ]; then
  bash scripts/check-portability.sh
fi
