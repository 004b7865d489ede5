#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz, then fuzzes each target for
# VANTOREL_FUZZ_SECONDS seconds (default 20) starting from its seed and
# regression corpora. Any crash, hang, leak or sanitizer report fails the run
# and its input is copied into fuzz/regressions/<target>/, which ctest replays.
#   VANTOREL_FUZZ_TARGETS  targets to run (default: all), e.g. "json rle"
#   extra arguments        passed to every fuzzer, e.g. -jobs=2 -workers=2
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${VANTOREL_FUZZ_SECONDS:-20}
TARGETS=${VANTOREL_FUZZ_TARGETS:-"json rle polygon compact_gt compact_results"}

# clang and its runtime (libFuzzer, sanitizers) from Debian's packages.
if ! command -v clang++ >/dev/null || ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq clang libclang-rt-dev >/dev/null
fi

FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DZERLIN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/fuzz -j2 --target $(printf 'fuzz_%s ' $TARGETS)

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
passed=0 failed=0
for t in $TARGETS; do
  corpus=build/fuzz/corpus/$t findings=build/fuzz/findings/$t
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings" fuzz/regressions/$t
  echo "fuzz_$t: ${SECONDS_EACH}s"
  if ! build/fuzz/fuzz/fuzz_$t -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
      -malloc_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" "$@" \
      "$corpus" fuzz/seeds/$t fuzz/regressions/$t >"build/fuzz/$t.log" 2>&1; then
    failed=$((failed + 1))
    tail -n 60 "build/fuzz/$t.log"
    for f in "$findings"/*; do
      [ -e "$f" ] && cp "$f" fuzz/regressions/$t/ && echo "finding kept as fuzz/regressions/$t/$(basename "$f")"
    done
  else
    passed=$((passed + 1))
  fi
  grep -E '^stat::number_of_executed_units' "build/fuzz/$t.log" | sed "s/^stat::/  /" || true
done
echo "fuzz: $passed passed, $failed failed"
[ $failed = 0 ]
