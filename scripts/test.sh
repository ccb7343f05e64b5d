#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: a normal
# build, then an AddressSanitizer + UndefinedBehaviorSanitizer build.
# Integration tests start their own private bus, PipeWire, WirePlumber and
# Xvfb, and stop them when done; the V4L2 tests boot a throw-away VM.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --tests
jobs=$(nproc)
# Rebuilds reuse earlier compiles where the machine keeps a compiler cache.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

echo "== build (RelWithDebInfo)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build build -j "$jobs"
echo "== test (RelWithDebInfo)"
(cd build && ctest --output-on-failure -j "$jobs")

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOVRELLE_SANITIZE=ON -DTOVRELLE_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build build-asan -j "$jobs"
echo "== test (AddressSanitizer + UndefinedBehaviorSanitizer)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The V4L2 guest tests run the normal build's programs in a VM: once is enough.
(cd build-asan && ctest --output-on-failure -j "$jobs" -E '_fuzz$|^v4l2_guest_tests$')
