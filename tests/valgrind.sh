#!/usr/bin/env bash
# Runs the main paths of the three programs under valgrind memcheck against
# an emulated SNA node in a temporary folder: any memory error or definite
# or indirect leak fails the run.
#   valgrind.sh BIN_DIR tarpon    tarpon: changes, refusals, help, dump
#   valgrind.sh BIN_DIR gateway   tarpons serving a few sessions (tarponrc
#                                 and bare connections), tarponrc's own paths
set -uo pipefail
bin=$1
part=$2
work=$(mktemp -d /tmp/tarpon-valgrind-XXXXXX)
gateway_pid=""
cleanup() {
  if [ -n "$gateway_pid" ]; then kill -KILL "$gateway_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/sna-node.conf" <<'EOF'
[node]
modes = #BATCH
[local_lu WKSTN1]
name = NETA.WKSTN1
[partner_lu hosta]
name = NETA.KSVHOST
[side_info KSVSYM]
partner_lu = NETA.KSVHOST
mode = #BATCH
tp_name = x'06F3F0F1'
[host NETA.KSVHOST]
users = users.db
EOF
printf 'ALICE SECRET1\nBOB PASSW0RD\n' >"$work/users.db"
chmod 600 "$work/users.db"
export TARPON_SNA_NODE="$work/sna-node.conf"

memcheck=(valgrind --leak-check=full --errors-for-leak-kinds=definite,indirect
          --error-exitcode=99 --track-fds=no)
failed=0
count=0

# check NAME LOG: the run's valgrind log must report no errors.
check() {
  if ! grep -q "ERROR SUMMARY: 0 errors" "$2"; then
    echo "FAIL $1: valgrind found errors:"
    cat "$2"
    failed=1
  fi
}

# run NAME EXPECTED_STATUS PROGRAM ARGS...: one program run under memcheck.
run() {
  local name=$1 expected=$2
  shift 2
  count=$((count + 1))
  local log="$work/valgrind.$count.log"
  "${memcheck[@]}" --log-file="$log" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL $name: exit status $status, expected $expected"
    cat "$work/out" "$work/err"
    failed=1
  fi
  check "$name" "$log"
}

case "$part" in
  tarpon)
    t="$bin/tarpon"
    run "change" 0 "$t" -u alice -p secret1 -np new1 -plu hosta
    run "change over CPI-C with dump and log" 0 "$t" -u alice -p new1 \
      -np new2 -sd KSVSYM -cpic -v -log
    run "refused: bad password" 202 "$t" -u alice -p wrong -np new3 -plu hosta
    run "refused: unknown partner" 17 "$t" -u alice -p new2 -np new3 -plu nowhere
    run "local change" 21 "$t" -u alice -p new2 -np new3 -local
    run "bad options" 4 "$t" -u alice -x
    run "usage" 4 "$t"
    run "help" 4 "$t" -?
    run "manual page" 4 "$t" -M
    run "trace" 4 "$t" -ftrace -?
    ;;
  gateway)
    rc="$bin/tarponrc"
    run "remote help" 4 "$rc" -?
    run "remote missing host" 1 "$rc" -S tarponGateway

    # The gateway on a port that is free now, named through a services file.
    started=0
    for attempt in 1 2 3 4 5; do
      port=$((20000 + (RANDOM * 7 + attempt) % 40000))
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
      echo "tarponGateway $port/tcp" >"$work/services"
      export TARPON_SERVICES="$work/services"
      : >"$work/gateway.log"
      "${memcheck[@]}" --log-file="$work/valgrind.gateway.log" \
        "$bin/tarpons" -log "$work/gateway.log" \
        >"$work/gateway.out" 2>"$work/gateway.err" &
      gateway_pid=$!
      for _ in $(seq 1 300); do
        grep -q "TARPON SERVER started " "$work/gateway.log" && break
        kill -0 "$gateway_pid" 2>/dev/null || break
        sleep 0.1
      done
      if grep -q "TARPON SERVER started " "$work/gateway.log"; then
        started=1
        break
      fi
      kill -KILL "$gateway_pid" 2>/dev/null
      wait "$gateway_pid" 2>/dev/null
      gateway_pid=""
    done
    if [ "$started" -ne 1 ]; then
      echo "FAIL the gateway did not start"
      cat "$work/gateway.err" "$work/gateway.log"
      exit 1
    fi

    run "remote change" 0 "$rc" 127.0.0.1 -u alice -p secret1 -np new1 \
      -plu hosta
    grep -q "rc=0000" "$work/out" || { echo "FAIL remote change"; failed=1; }
    run "remote refusal" 202 "$rc" 127.0.0.1 -u alice -p wrong -np new2 \
      -plu hosta
    grep -q "rc=2002" "$work/out" || { echo "FAIL remote refusal"; failed=1; }
    run "remote gateway help" 4 "$rc" 127.0.0.1
    # A client that connects and closes, and one that sends a broken header.
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null
    (exec 3<>"/dev/tcp/127.0.0.1/$port" && printf 'garbage' >&3) 2>/dev/null
    run "remote change after them" 0 "$rc" 127.0.0.1 -u bob -p passw0rd \
      -np new1 -plu hosta
    grep -q "rc=0000" "$work/out" || { echo "FAIL last change"; failed=1; }

    # The gateway has no stop command: end it and check its log, which
    # valgrind completes, leak check included, as the process ends.
    kill -TERM "$gateway_pid"
    wait "$gateway_pid" 2>/dev/null
    gateway_pid=""
    check "gateway" "$work/valgrind.gateway.log"
    if ! grep -q "Session id(6)" "$work/gateway.log"; then
      echo "FAIL the gateway did not serve six sessions:"
      cat "$work/gateway.log"
      failed=1
    fi
    ;;
  *)
    echo "usage: $0 BIN_DIR {tarpon|gateway}" >&2
    exit 2
    ;;
esac

[ "$failed" -eq 0 ] && echo "valgrind $part: $count runs clean"
exit "$failed"
