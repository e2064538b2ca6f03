#!/usr/bin/env bash
# One change at four hosts that each answer 300 ms after they are asked:
# the wall time through the API ("destinations") and through tarponrc
# -hosts, against one host alone. Prints a Markdown table of medians.
# Everything runs on 127.0.0.1; the gateway and tarpon-web are stopped at
# the end.
#   PROGRAMS  the programs' folder (default: build/programs)
#   RUNS      runs of each (default: 5)
set -euo pipefail
cd "$(dirname "$0")/.."
programs=$(cd "${PROGRAMS:-build/programs}" && pwd)
runs=${RUNS:-5}
box=$(mktemp -d "${TMPDIR:-/tmp}/several-hosts.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [[ -n "${KEEP:-}" ]] || rm -rf "$box"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
{
  printf '[node]\nmodes = #BATCH\n'
  for h in a b c d; do
    printf '[partner_lu host%s]\nname = NETA.HOST%s\n' "$h" "${h^^}"
  done
  for h in a b c d; do
    printf '[host NETA.HOST%s]\nusers = %s.db\nanswer_delay_ms = 300\n' "${h^^}" "$h"
  done
} >"$box/sna-node.conf"
# A user of its own for each way, so that each moves on alone.
for h in a b c d; do
  printf 'APIONE PASS0\nAPIALL PASS0\nRCONE PASS0\nRCALL PASS0\n' >"$box/$h.db"
  chmod 600 "$box/$h.db"
done
gateway_port=$(free_port)
web_port=$(free_port)
echo "tarponGateway $gateway_port/tcp" >"$box/services"
export TARPON_SNA_NODE=$box/sna-node.conf TARPON_SERVICES=$box/services
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -days 2 -keyout "$box/web.key" \
  -out "$box/web.pem" 2>/dev/null
"$programs/tarpons" -log "$box/gateway.log" -state-file off -penalties off \
  -accountlimit off >"$box/gateway.out" 2>"$box/gateway.err" &
pids+=($!)
"$programs/tarpon-web" -listen "127.0.0.1:$web_port" -cert "$box/web.pem" \
  -key "$box/web.key" -gateway "127.0.0.1:tarponGateway" -proxy-header off \
  -destinations "hosta,hostb,hostc,hostd" -timeout 10 -assets web/assets \
  >"$box/web.out" 2>"$box/web.err" &
pids+=($!)
for _ in $(seq 100); do
  curl -s --cacert "$box/web.pem" "https://127.0.0.1:$web_port/" \
    >/dev/null 2>&1 && break
  sleep 0.1
done

declare -A serial=([APIONE]=0 [APIALL]=0 [RCONE]=0 [RCALL]=0)
# One change of user's from PASSn to PASSn+1, through the API with the
# given destination member, or through tarponrc with the given options.
api() {
  local user=$1 status n=${serial[$1]}
  status=$(curl -s -o /dev/null -w '%{http_code}' --cacert "$box/web.pem" \
    -H 'Content-Type: application/json' \
    -d "{\"user\":\"$user\",\"currentPassword\":\"PASS$n\",\"newPassword\":\"PASS$((n + 1))\",$2}" \
    "https://127.0.0.1:$web_port/api/v1/password-change")
  [[ $status == 200 ]] || {
    echo "several_hosts: the API answered $status" >&2
    exit 1
  }
}
remote() {
  local user=$1 n=${serial[$1]}
  shift
  "$programs/tarponrc" 127.0.0.1 -u "$user" -p "PASS$n" -np "PASS$((n + 1))" \
    "$@" >/dev/null || {
    echo "several_hosts: tarponrc failed" >&2
    exit 1
  }
}
# The median wall time of RUNS changes, in milliseconds: way user args...
measure() {
  local way=$1 user=$2 times=() i start end
  shift 2
  for ((i = 0; i < runs; ++i)); do
    start=$(date +%s%N)
    "$way" "$user" "$@"
    end=$(date +%s%N)
    times+=($(((end - start) / 1000000)))
    serial[$user]=$((serial[$user] + 1))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

api_one=$(measure api APIONE '"destination":"hosta"')
api_all=$(measure api APIALL '"destinations":["hosta","hostb","hostc","hostd"]')
rc_one=$(measure remote RCONE -s hosta)
rc_all=$(measure remote RCALL -hosts hosta,hostb,hostc,hostd)
echo "| | one host | four hosts | ratio |"
echo "|---|---:|---:|---:|"
awk -v o="$api_one" -v a="$api_all" 'BEGIN { printf "| the API | %d ms | %d ms | %.2f |\n", o, a, a / o }'
awk -v o="$rc_one" -v a="$rc_all" 'BEGIN { printf "| tarponrc | %d ms | %d ms | %.2f |\n", o, a, a / o }'
