#!/usr/bin/env bash
# Builds the extension and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++) in build/asan, then runs ctest and the
# whole pytest suite against that build. Python itself is not instrumented,
# so the ASan runtime is preloaded. Fails on any sanitizer report, including
# one from a subprocess that a test started and then judged only by its exit.
# Uses the active Python (or $PYTHON); extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
ROOT=$PWD
BUILD=build/asan

FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"
cmake -S . -B $BUILD -G Ninja -DZERLIN_TESTS=ON -DZERLIN_PYTHON=ON -DZERLIN_WERROR=ON \
  -DPython_EXECUTABLE="$(command -v "$PY")" -DCMAKE_BUILD_TYPE=Sanitize -DCMAKE_CXX_FLAGS_SANITIZE="$FLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  >/dev/null
cmake --build $BUILD -j2

# The package as installed, with the instrumented module in it.
SITE=$BUILD/site
rm -rf $SITE
mkdir -p $SITE
cp -r python/vantorel $SITE/
cp $BUILD/_zerlin*.so $SITE/vantorel/

REPORTS=$ROOT/$BUILD/reports
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
# Reports go to files (one per process) as well as failing the process.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"
ASAN_COMMON="abort_on_error=0:exitcode=86:log_path=$REPORTS/asan:detect_stack_use_after_return=1"

status=0
(cd $BUILD && ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=1" ctest --output-on-failure -j2) || status=$?

# Python keeps objects alive until exit, which LeakSanitizer would list;
# leaks are the leak tests' job. The freed-memory quarantine is off so that
# their resident-memory thresholds measure what the module holds.
# libstdc++ is preloaded as well: ASan hooks C++ throws only if the library
# is there when its runtime starts, and the interpreter does not link it.
PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
run_python() {
  (cd tests && env LD_PRELOAD="$PRELOAD" PYTHONPATH="$ROOT/$SITE" VANTOREL_SANITIZED=1 \
    ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=0:quarantine_size_mb=0:thread_local_quarantine_size_kb=0" "$PY" "$@")
}
# From tests/ (not the source tree), so the copy in $SITE is imported.
run_python -c 'import vantorel._zerlin as z; assert "/build/asan/site/" in z.__file__, z.__file__'
# Except the address-space limit tests: the sanitizer maps its shadow memory
# as it goes, so under a limit its own mappings fail before the module's.
run_python -m pytest -q -p no:cacheprovider --ignore=test_limits.py . "$@" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  cat "$REPORTS"/* >&2
  exit 1
fi
[ $status = 0 ] && echo "sanitize: no sanitizer reports"
exit $status
