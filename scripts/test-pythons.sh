#!/usr/bin/env bash
# Runs the whole test suite on every CPython from 3.11 up that this machine
# offers (python3.11, python3.12, ... on PATH), each in its own venv.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
found=0
for v in 3.11 3.12 3.13 3.14 3.15; do
  py=$(command -v "python$v") || continue
  "$py" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null || continue
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
