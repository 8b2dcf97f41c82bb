#!/usr/bin/env bash
# Builds and runs the whole test suite: a plain build, then again under
# AddressSanitizer + UBSan, the threaded tests under ThreadSanitizer, the
# plug-in header compiled for 32 bits, and the library compiled by clang with
# its lock annotations checked. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
kx_install_deps

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export KINETRAX_FTDI=sim
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/tsan.supp

build() { # dir, cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== plain build"
build build
(cd build && ctest --output-on-failure -j "$jobs")

echo "== 32-bit plug-in header"
bash tools/check-m32.sh

echo "== AddressSanitizer + UBSan"
build build-asan -DKX_SANITIZE=address,undefined
(cd build-asan && ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer (threaded tests)"
build build-tsan -DKX_SANITIZE=thread
(cd build-tsan && ctest --output-on-failure -j "$jobs" -L threaded)

echo "== clang thread-safety analysis (the library)"
cmake -S . -B build-tsa -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKX_THREAD_SAFETY=ON -DKX_BUILD_TESTS=OFF >/dev/null
cmake --build build-tsa -j "$jobs" --target kinetrax
