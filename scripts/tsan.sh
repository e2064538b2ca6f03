#!/usr/bin/env bash
# Builds with ThreadSanitizer in build-tsan and runs what shares state
# between threads: requests run through the engine at once, the emulated
# node's parse caches, the metrics updated
# from several threads and served by the metrics listener's own, the
# gateway's hand-over of work to its threads and back, and the gateway
# itself (its loop, conversation threads and TLS threads) under the end-to-end
# tests that load them.
set -euo pipefail
cd "$(dirname "$0")/.."

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-tsan -DTARPON_SANITIZE_THREAD=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" ${CMAKE_ARGS:-} >/dev/null
cmake --build build-tsan -j2 --target engine_test sna_test metrics_test \
  gateway_test tarpons tarponrc tarpon_e2e_test

# halt_on_error: the first race fails the run with its report.
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/engine/engine_test --gtest_filter='EngineTest.Concurrent*'
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/sna/sna_test --gtest_filter='*ThreadTest.*'
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/metrics/metrics_test \
  --gtest_filter='MetricsThreadTest.*:MetricsListenerTest.*'
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/gateway/gateway_test --gtest_filter='WorkerPoolTest.*'
# A race in the gateway ends it with a report, which fails these tests.
TARPON_BIN_DIR=$PWD/build-tsan/programs \
  TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/tests/tarpon_e2e_test \
  --gtest_filter='GatewayNetworkTest.*:GatewayTlsTest.*:ProxyGatewayTest.*'
