#!/usr/bin/env bash
# Runs the whole test suite on every CPython from 3.11 up that this machine
# offers (python3.11, python3.12, ... on PATH), each in its own venv.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
found=0
pick() {  # an interpreter for version $1 that really runs (pyenv shims may refuse)
  local c
  for c in $(command -v "python$1" 2>/dev/null) "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1"*/bin/"python$1"; do
    [ -x "$c" ] && "$c" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null && { echo "$c"; return 0; }
  done
  return 1
}
for v in 3.11 3.12 3.13 3.14 3.15; do
  py=$(pick "$v") || continue
  found=1
  venv="build/venv-$v"
  echo "== Python $v ($py)"
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv" || { status=1; continue; }
  if PYTHON="$venv/bin/python" bash scripts/test.sh "$@"; then
    echo "== Python $v: passed"
  else
    echo "== Python $v: FAILED"
    status=1
  fi
done
[ $found = 1 ] || { echo "no CPython 3.11+ found"; exit 1; }
exit $status
