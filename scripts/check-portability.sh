#!/usr/bin/env bash
# Builds the core beyond this system's GCC and runs its tests there:
#   1. a mingw-w64 cross build for Windows (x86_64) of the core, its
#      GoogleTest tests and the fuzz replays, run under wine;
#   2. a Clang + libc++ build of the same (the standard library of macOS,
#      and of Linux systems built with LLVM).
# Both come from Debian's packages, installed here when missing. Build
# directories: build/portability-*. Usage: bash scripts/check-portability.sh
# [mingw|libcxx]... (default both).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
STEPS=("$@")
[ ${#STEPS[@]} -gt 0 ] || STEPS=(mingw libcxx)
LLVM=${VANTOREL_LLVM_VERSION:-16}

need() {
  local missing=()
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  # CMake and Ninja may come from pip instead.
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  [ ${#missing[@]} -eq 0 ] && return
  local sudo
  sudo=$([ "$(id -u)" = 0 ] || echo sudo)
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The Debian fast_float headers, alone in a directory: the cross compiler
# must not see the host's /usr/include.
fast_float_dir() {
  local dir=$ROOT/build/portability-fast-float
  mkdir -p "$dir"
  rm -rf "$dir/fast_float"
  cp -r /usr/include/fast_float "$dir/"
  echo "$dir"
}

mingw() {
  need g++-mingw-w64-x86-64-posix wine64 googletest libfast-float-dev
  local cxx=x86_64-w64-mingw32-g++-posix build=$ROOT/build/portability-mingw
  export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
  local wine
  # Debian's wine64 package keeps its launcher out of PATH.
  wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
  # GoogleTest for Windows, from Debian's source package. Everything links
  # statically, so the executables need no MinGW DLLs under wine.
  local cross=(-G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER=$cxx
               -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_BUILD_TYPE=Release
               "-DCMAKE_EXE_LINKER_FLAGS=-static")
  cmake -S /usr/src/googletest -B "$build/gtest" "${cross[@]}" -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF \
    -DCMAKE_INSTALL_PREFIX="$build/gtest-install" >/dev/null
  cmake --build "$build/gtest" -j"$JOBS" --target install >/dev/null
  cmake -S . -B "$build/core" "${cross[@]}" -DZERLIN_TESTS=ON -DZERLIN_WERROR=ON \
    -DGTest_DIR="$build/gtest-install/lib/cmake/GTest" -DZERLIN_FAST_FLOAT_INCLUDE_DIR="$(fast_float_dir)" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" >/dev/null
  "$wine" cmd /c exit >/dev/null 2>&1 || true  # creates the wine prefix once
  cmake --build "$build/core" -j"$JOBS"
  (cd "$build/core" && ctest --output-on-failure -j"$JOBS")
}

libcxx() {
  need "clang-$LLVM" "libc++-$LLVM-dev" "libc++abi-$LLVM-dev" libfast-float-dev googletest
  local build=$ROOT/build/portability-libcxx
  local flags="-stdlib=libc++"
  # GoogleTest built against libc++ too: C++ libraries do not mix.
  local common=(-G Ninja -DCMAKE_CXX_COMPILER="clang++-$LLVM" -DCMAKE_C_COMPILER="clang-$LLVM"
                -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_EXE_LINKER_FLAGS=$flags")
  cmake -S /usr/src/googletest -B "$build/gtest" "${common[@]}" -DBUILD_GMOCK=OFF \
    -DCMAKE_INSTALL_PREFIX="$build/gtest-install" >/dev/null
  cmake --build "$build/gtest" -j"$JOBS" --target install >/dev/null
  cmake -S . -B "$build/core" "${common[@]}" -DZERLIN_TESTS=ON -DZERLIN_WERROR=ON \
    -DGTest_DIR="$build/gtest-install/lib/cmake/GTest" -DZERLIN_FAST_FLOAT_INCLUDE_DIR="$(fast_float_dir)" >/dev/null
  cmake --build "$build/core" -j"$JOBS"
  (cd "$build/core" && ctest --output-on-failure -j"$JOBS")
}

for step in "${STEPS[@]}"; do
  case $step in
    mingw | libcxx) echo "== $step"; "$step" ;;
    *) echo "unknown step: $step (mingw, libcxx)" >&2; exit 2 ;;
  esac
done
