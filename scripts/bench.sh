#!/usr/bin/env bash
# Builds the benchmarks of bench/ in a Release configuration of their own and
# runs them; prints Markdown tables (docs/performance.md explains them):
#   - the trace scope with the trace off, and the engine in-process
#     (Google Benchmark), with the node's files on disk and on tmpfs;
#   - the gateway against a minimal server, tarpon's start-up against a
#     trivial program, and the gateway's resident size (system_bench);
#   - sessions over TLS against clear text, and the cost of session tickets
#     (tls_bench);
#   - whether anything makes the gateway's loop wait: a TLS handshake
#     flood, a held database lock, a refusal flood (loop_bench);
#   - host conversations at once: a slow host, a hung host beside a fast
#     one, help while the database's lock is held (conversation_bench);
#   - gateways behind HAProxy: 64 clients through it to two gateways
#     against straight to one, one client's latency while the gateways
#     restart, and the cost of -metrics (balancer_bench);
#   - tarpon-web in front of a TLS gateway against the gateway client
#     library straight to it, one client and 50 at once (web_bench);
#   - the limit per account: guesses at 50 accounts from 1,000 sources
#     against a host that revokes after three failures, and what the limit
#     costs a change, in memory and in Redis (account_bench);
#   - the hooks: a refused change with one -on-event hook against none,
#     and the event spool's throughput (hooks_bench);
#   - the list of common passwords: build, size, load, the check of one new
#     password, the gateway's resident size with it (blocklist_bench);
#   - where the engine's time goes (callgrind, and perf where it works).
# Everything runs on 127.0.0.1 with bounded loops; a full run takes a few
# minutes on 2 cores.
#   BUILD_DIR  build folder (default: build-bench)
#   QUICK=1    fewer rounds and sessions, for a quick look
#   PROFILE=0  skip the profiles
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}

# Google Benchmark for the micro benchmarks, HAProxy for balancer_bench,
# valgrind for the profile (redis-server, for account_bench, is among the
# build's own).
optional=(libbenchmark-dev haproxy)
[[ "${PROFILE:-1}" != 0 ]] && optional+=(valgrind)
scripts/install-deps.sh "${optional[@]}"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARPON_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target micro_bench system_bench engine_loop \
  tls_bench loop_bench conversation_bench balancer_bench web_bench \
  account_bench hooks_bench blocklist_bench tarpon tarpons tarpon-web \
  trivial_program minimal_server

if [[ "${QUICK:-0}" == 1 ]]; then
  min_time=0.1 reps=1
  system_args=(--rounds 2 --sessions 300 --runs 50 --memory-sessions 2000)
  tls_args=(--rounds 1 --sessions 200)
  loop_args=(--changes 30 --seconds 2)
  conversation_args=(--seconds 2)
  balancer_args=(--rounds 1 --sessions 10)
  web_args=(--rounds 2 --changes 100 --client-changes 5)
  account_args=(--sources 50 --accounts 10 --changes 300)
  hooks_args=(--rounds 2 --changes 100 --events 300)
else
  min_time=0.5 reps=3
  system_args=()
  tls_args=()
  loop_args=()
  conversation_args=()
  balancer_args=()
  web_args=()
  account_args=()
  hooks_args=()
fi
micro=(--benchmark_min_time="$min_time" --benchmark_repetitions="$reps"
       --benchmark_report_aggregates_only=true)

echo "## Machine"
echo
echo "$(nproc) cores, $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "## Micro benchmarks (node files in ${TMPDIR:-/tmp})"
echo
"$build/bench/micro_bench" "${micro[@]}"
echo
echo "## Engine with the node files on tmpfs (/dev/shm): no disk flush cost"
echo
TMPDIR=/dev/shm "$build/bench/micro_bench" "${micro[@]}" \
  --benchmark_filter='engine/'
"$build/bench/system_bench" "${system_args[@]}"
# The list of common passwords as the package builds it, npm's list first:
# its passwords are the ones checked.
echo
echo "## The list of common passwords"
echo
lists=(/usr/share/john/password.lst /usr/share/dict/cracklib-small)
npm_list=$(scripts/fetch-password-lists.sh)
[[ -n "$npm_list" ]] && lists=("$npm_list" "${lists[@]}")
"$build/bench/blocklist_bench" "${lists[@]}"
"$build/bench/tls_bench" "${tls_args[@]}"
"$build/bench/loop_bench" "${loop_args[@]}"
"$build/bench/conversation_bench" "${conversation_args[@]}"
"$build/bench/balancer_bench" "${balancer_args[@]}"
"$build/bench/web_bench" "${web_args[@]}"
"$build/bench/account_bench" "${account_args[@]}"
"$build/bench/hooks_bench" "${hooks_args[@]}"

if [[ "${PROFILE:-1}" != 0 ]]; then
  out=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-bench.XXXXXX")
  trap 'rm -rf "$out"' EXIT
  for kind in refused help change; do
    echo
    echo "## callgrind: engine_loop 200 $kind (inclusive instructions)"
    echo
    valgrind --tool=callgrind --callgrind-out-file="$out/$kind.out" \
      "$build/bench/engine_loop" 200 "$kind" >/dev/null 2>&1
    callgrind_annotate --inclusive=yes "$out/$kind.out" >"$out/$kind.txt" \
      2>/dev/null || true
    grep -E '^ *[0-9,]+ \(' "$out/$kind.txt" |
      grep -v -E 'ld-linux|libc-start|below main' | sed -E 's/ \[[^]]*\]$//' |
      cut -c1-140 | sed -n 1,25p
  done
  echo
  echo "## perf: engine_loop 3000 refused (self time)"
  echo
  if perf record -q -e cpu-clock -o "$out/perf.data" \
      "$build/bench/engine_loop" 3000 refused >/dev/null 2>&1; then
    perf report -q -i "$out/perf.data" --no-children --sort sym \
      >"$out/perf.txt" 2>/dev/null || true
    grep '%' "$out/perf.txt" | cut -c1-140 | sed -n 1,15p
  else
    echo "perf does not work here."
  fi
fi
