#!/usr/bin/env bash
# Builds the emulated node's unit tests with ThreadSanitizer in build-tsan
# and runs the tests that use its parse caches from several threads.
set -euo pipefail
cd "$(dirname "$0")/.."

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-tsan -DTARPON_SANITIZE_THREAD=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" ${CMAKE_ARGS:-} >/dev/null
cmake --build build-tsan -j2 --target sna_test

# halt_on_error: the first race fails the run with its report.
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/sna/sna_test --gtest_filter='*ThreadTest.*'
