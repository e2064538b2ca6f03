#!/usr/bin/env bash
# The change page in one command: a throwaway certificate authority and a
# certificate for localhost (openssl), a copy of the example SNA node
# (examples/private-node.sh), a gateway on a free loopback port that takes
# tarpon-web's PROXY header and speaks TLS to it, and tarpon-web on another
# free loopback port. Prints the address to open and the CA to trust, then
# serves until Ctrl-C, which stops both and removes every file it made.
#
# Run from the repository root after a build:
#   examples/web-demo.sh          (programs in build/programs, or in
#                                  $BUILD_DIR/programs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
[[ "$build" == /* ]] || build="$PWD/$build"
bin="$build/programs"
for program in tarpons tarpon-web; do
  if [[ ! -x "$bin/$program" ]]; then
    echo "web-demo: $bin/$program not found; build first" >&2
    exit 1
  fi
done
command -v openssl >/dev/null || {
  echo "web-demo: openssl not found; apt-get install openssl" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-web-demo.XXXXXX")
pids=()
cleanup() {
  trap - EXIT INT TERM
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
  echo "web-demo: stopped"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# A loopback port nothing answers on: first when given and free, else one
# picked at random below the range the system hands out to outgoing
# connections. Something may still hold it: the caller retries.
free_port() {
  local candidate
  for candidate in "$@" $(for _ in $(seq 50); do echo $((20000 + RANDOM % 12000)); done); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
  echo "web-demo: no free port" >&2
  return 1
}

# The CA, and one certificate for localhost and 127.0.0.1 that serves both
# the page and the gateway's TLS.
(
  cd "$work"
  umask 077
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tarpon web demo CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout ca.key -out ca.pem 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
    -keyout web.key -out web.csr 2>/dev/null
  printf '%s\n' "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    "basicConstraints=CA:FALSE" "keyUsage=digitalSignature,keyEncipherment" \
    "extendedKeyUsage=serverAuth" > web.ext
  openssl x509 -req -in web.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
    -days 2 -extfile web.ext -out web.pem 2>/dev/null
  chmod 0644 ca.pem
)

TARPON_SNA_NODE=$(examples/private-node.sh "$work/node")
export TARPON_SNA_NODE
unset TARPON_WEB_OPTIONS TARPON_TLS_CLIENT_CA
export TARPON_SERVICES="$work/services"

# Waits until the last program started is ready (ready CHECK...) or has
# ended; true when ready.
ready() {
  local _
  for _ in $(seq 200); do
    "$@" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.05
  done
  "$@"
}
gateway_started() { grep -q "TARPON SERVER started " "$work/tarpond.log" 2>/dev/null; }
web_listens() { (exec 3<>"/dev/tcp/127.0.0.1/$web_port") 2>/dev/null; }
# Ends the last program started when it is still running, to try again.
drop_last() {
  kill "${pids[-1]}" 2>/dev/null || true
  wait "${pids[-1]}" 2>/dev/null || true
  unset 'pids[-1]'
}

# The gateway: on loopback only (the demo's database holds a well-known
# password), TLS with the demo's certificate, and the PROXY header trusted
# from tarpon-web's address only. A port taken meanwhile: another one.
for _ in 1 2 3 4 5; do
  gateway_port=$(free_port)
  echo "tarponGateway $gateway_port/tcp" > "$work/services"
  rm -f "$work/tarpond.log"
  TARPON_TLS_CERT="$work/web.pem" TARPON_TLS_KEY="$work/web.key" \
    "$bin/tarpons" -listen 127.0.0.1 -log "$work/tarpond.log" -proxy-from 127.0.0.1 \
    > "$work/tarpons.out" 2>&1 &
  pids+=($!)
  ready gateway_started && break
  drop_last
done
if ! gateway_started; then
  echo "web-demo: the gateway did not start:" >&2
  cat "$work/tarpons.out" >&2
  exit 1
fi

for first in 8443 "" "" "" ""; do
  web_port=$(free_port $first)
  env -u TARPON_TLS_CERT -u TARPON_TLS_KEY TARPON_TLS_CA="$work/ca.pem" \
    "$bin/tarpon-web" -listen "127.0.0.1:$web_port" \
    -cert "$work/web.pem" -key "$work/web.key" \
    -gateway "127.0.0.1:tarponGateway" -assets "$PWD/web/assets" \
    -destinations "hosta=Example host" \
    -rules "hosta=minlength: 6; required: digit; case: ignored; note: The example host knows ALICE, whose password is SECRET1." \
    > "$work/tarpon-web.out" 2> "$work/tarpon-web.err" &
  pids+=($!)
  ready web_listens && kill -0 "${pids[-1]}" 2>/dev/null && break
  drop_last
done
if ! web_listens; then
  echo "web-demo: tarpon-web did not start:" >&2
  cat "$work/tarpon-web.err" >&2
  exit 1
fi

cat <<EOF
web-demo: open https://localhost:$web_port/
  User ALICE, current password SECRET1; the new one needs 6 characters and
  a digit. Your browser warns of the certificate: trust the throwaway CA
  $work/ca.pem for this visit, or accept the warning.
  From a terminal:
    curl --cacert $work/ca.pem https://localhost:$web_port/api/v1/destinations
    curl --cacert $work/ca.pem -H 'Content-Type: application/json' \\
      -d '{"user":"ALICE","currentPassword":"SECRET1","newPassword":"NEWPW1"}' \\
      https://localhost:$web_port/api/v1/password-change
  Each change is a line here; Ctrl-C stops the demo and removes $work.
EOF
web=${pids[-1]}
tail -n 0 -f "$work/tarpon-web.out" &
pids+=($!)
wait "$web" || true
