#!/usr/bin/env bash
# Builds with ThreadSanitizer in build-tsan and runs what shares state
# between threads: requests run through the engine at once, the emulated
# node's parse caches, the metrics updated
# from several threads and served by the metrics listener's own, the
# gateway's hand-over of work to its threads and back, and of its loop from
# thread to thread, and the gateway itself (its loop, conversation threads
# and TLS threads) under the end-to-end tests that load them, and once more
# with its trace on (tarpons -t).
set -euo pipefail
cd "$(dirname "$0")/.."

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Ninja, when installed, for a new folder: each file compiles as soon as
# what it includes is there, not after every library it links.
generator=()
if [[ ! -f build-tsan/CMakeCache.txt ]] && command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
# shellcheck disable=SC2086
cmake -S . -B build-tsan "${generator[@]}" -DTARPON_SANITIZE_THREAD=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" ${CMAKE_ARGS:-} >/dev/null
cmake --build build-tsan -j2 --target engine_test sna_test metrics_test \
  gateway_test events_test tarpons tarponrc tarpon_e2e_test tarpon-web web_test

# halt_on_error: the first race fails the run with its report.
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/engine/engine_test --gtest_filter='EngineTest.Concurrent*'
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/sna/sna_test --gtest_filter='*ThreadTest.*'
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/metrics/metrics_test \
  --gtest_filter='MetricsThreadTest.*:MetricsListenerTest.*'
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/gateway/gateway_test --gtest_filter='WorkerPoolTest.*:LoopBatonTest.*'
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/events/events_test --gtest_filter='EventSinkTest.*:HookProcessTest.*'
# A race in the gateway ends it with a report, which fails these tests.
TARPON_BIN_DIR=$PWD/build-tsan/programs \
  TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/tests/tarpon_e2e_test \
  --gtest_filter='GatewayNetworkTest.*:GatewayTlsTest.*:ProxyGatewayTest.*:AccountLimitE2eTest.*'
# A race in tarpon-web ends it with a report, which fails these tests.
TARPON_BIN_DIR=$PWD/build-tsan/programs \
  TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
  build-tsan/web/web_test --gtest_filter='WebApiTest.*:MultiChangeTest.*'

# The gateway with its trace on (tarpons -t) over TLS: the loop, the engine
# thread and the TLS threads all write trace lines while one client changes
# a password. A race ends the gateway with exit status 66.
bin=$PWD/build-tsan/programs
work=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-tsan.XXXXXX")
gateway=""
finish() {
  if [[ -n "$gateway" ]]; then kill "$gateway" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap finish EXIT
port=$(python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
echo "tarponGateway $port/tcp" >"$work/services"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
  -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 -days 1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
export TARPON_SERVICES=$work/services
TARPON_SNA_NODE=$(examples/private-node.sh "$work/node")
export TARPON_SNA_NODE
TARPON_TLS_CERT=$work/cert.pem TARPON_TLS_KEY=$work/key.pem \
  TSAN_OPTIONS="halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}" \
  "$bin/tarpons" -t -log "$work/gateway.log" 2>"$work/gateway.err" &
gateway=$!
answer=""
for _ in $(seq 100); do
  answer=$(TARPON_TLS_CA=$work/cert.pem \
    TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
    "$bin/tarponrc" 127.0.0.1 -u ALICE -p SECRET1 -np NEWPW1 -s hosta \
    2>/dev/null | tr -d '\0') && break
  sleep 0.2
done
# ThreadSanitizer's runtime now and then loses a signal that comes just as
# the program goes back to waiting: the stop is sent again while it runs.
for _ in $(seq 20); do
  kill -TERM "$gateway" 2>/dev/null || break
  sleep 0.5
  [[ "$(ps -o stat= -p "$gateway")" == Z* ]] && break
done
status=0
wait "$gateway" || status=$?
gateway=""
if [[ $status -ne 0 || "$answer" != *"(remote rc=0000)"* ]]; then
  echo "tsan: tarpons -t ended with status $status; answer: $answer" >&2
  cat "$work/gateway.err" >&2
  exit 1
fi
echo "tsan: tarpons -t served a change over TLS without a race"
