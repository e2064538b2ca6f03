#!/usr/bin/env bash
# Builds with ThreadSanitizer in build-tsan and runs the tests that share
# state between threads: the emulated node's parse caches, the metrics
# updated from several threads and served by the metrics listener's own.
set -euo pipefail
cd "$(dirname "$0")/.."

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-tsan -DTARPON_SANITIZE_THREAD=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" ${CMAKE_ARGS:-} >/dev/null
cmake --build build-tsan -j2 --target sna_test metrics_test

# halt_on_error: the first race fails the run with its report.
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/sna/sna_test --gtest_filter='*ThreadTest.*'
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/metrics/metrics_test \
  --gtest_filter='MetricsThreadTest.*:MetricsListenerTest.*'
