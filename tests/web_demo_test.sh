#!/usr/bin/env bash
# examples/web-demo.sh starts, serves its page to a client that trusts only
# the demo's CA, changes ALICE's password through the API, and on SIGTERM
# stops both programs and removes its folder.
# Usage: web_demo_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
out=$(mktemp)
BUILD_DIR=$2 setsid "$source_dir/examples/web-demo.sh" > "$out" 2>&1 &
demo=$!
finish() {
  kill -TERM -- "-$demo" 2>/dev/null || true
  wait "$demo" 2>/dev/null || true
  rm -f "$out"
}
trap finish EXIT
fail() { echo "web-demo test: $*" >&2; cat "$out" >&2; exit 1; }

for _ in $(seq 300); do
  grep -q "open https" "$out" && break
  kill -0 "$demo" 2>/dev/null || fail "the demo ended early"
  sleep 0.1
done
url=$(sed -n 's|^web-demo: open \(https://[^ ]*\)$|\1|p' "$out")
ca=$(grep -o '/[^ ]*/ca.pem' "$out" | head -1)
[[ -n "$url" && -f "$ca" ]] || fail "no address or CA printed"
page=$(curl -sS --max-time 10 --cacert "$ca" "$url") || true
[[ "$page" == *'<form id="change"'* ]] || fail "no page at $url"
answer=$(curl -sS --max-time 10 --cacert "$ca" \
  -H 'Content-Type: application/json' \
  -d '{"user":"ALICE","currentPassword":"SECRET1","newPassword":"NEWPW1"}' \
  "${url}api/v1/password-change")
[[ "$answer" == *'"changed":true'* ]] || fail "change answered $answer"
# The demo's gateway holds a well-known password: loopback only.
listening=$(grep -o "TARPON SERVER listening on .*" "$(dirname "$ca")/tarpond.log") ||
  fail "no listening line in the gateway's log"
[[ "$listening" =~ ^"TARPON SERVER listening on 127.0.0.1 port "[0-9]+" (service" ]] ||
  fail "the gateway listens beyond loopback: $listening"
ready=$(curl -sS --max-time 10 --cacert "$ca" "${url}readyz") || true
[[ "$ready" == "ready" ]] || fail "/readyz answered $ready"

kill -TERM "$demo"
for _ in $(seq 100); do kill -0 "$demo" 2>/dev/null || break; sleep 0.1; done
kill -0 "$demo" 2>/dev/null && fail "the demo did not stop"
grep -q "web-demo: stopped" "$out" || fail "no stop line"
[[ ! -e "$(dirname "$ca")" ]] || fail "$(dirname "$ca") left behind"
echo "web demo passed"
