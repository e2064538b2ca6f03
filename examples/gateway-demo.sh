#!/usr/bin/env bash
# Runs a gateway on a free loopback port against a copy of the example SNA
# node (examples/private-node.sh) and changes a password through it with
# the remote client, then tries the old password again, which the host
# refuses; shows the gateway's log and stops the gateway at the end.
#
# Run from the repository root after a build:
#   examples/gateway-demo.sh          (programs in build/programs)
set -euo pipefail
cd "$(dirname "$0")/.."
bin="$PWD/${BUILD_DIR:-build}/programs"
for program in tarpons tarponrc; do
  if [[ ! -x "$bin/$program" ]]; then
    echo "gateway-demo: $bin/$program not found; build first" >&2
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-gateway-demo.XXXXXX")
gateway=""
cleanup() {
  [[ -n "$gateway" ]] && kill "$gateway" 2>/dev/null && wait "$gateway" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
TARPON_SNA_NODE=$(examples/private-node.sh "$work")
export TARPON_SNA_NODE

# A port nothing answers on, named through a services file of our own.
port=""
for candidate in $(seq 41000 41100); do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
[[ -n "$port" ]] || { echo "gateway-demo: no free port" >&2; exit 1; }
echo "tarponGateway $port/tcp" > "$work/services"
export TARPON_SERVICES="$work/services"

# Loopback only: the demo's database holds a well-known password.
"$bin/tarpons" -listen 127.0.0.1 -log "$work/tarpond.log" > "$work/tarpons.out" 2>&1 &
gateway=$!
for _ in $(seq 100); do
  grep -q "TARPON SERVER started " "$work/tarpond.log" 2>/dev/null && break
  sleep 0.05
done

# A refused change is part of the demo: show its exit status and go on.
run() {
  echo "\$ tarponrc $*"
  local status=0
  "$bin/tarponrc" "$@" || status=$?
  echo "(exit status $status)"
  echo
}

echo "== Change ALICE's password through the gateway"
run 127.0.0.1 -u ALICE -p SECRET1 -np NEWPW1 -s hosta
echo "== The old password no longer works: the host refuses the change"
run 127.0.0.1 -u ALICE -p SECRET1 -np NEWPW2 -s hosta
echo "== The gateway's log"
cat "$work/tarpond.log"
