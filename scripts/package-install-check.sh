#!/usr/bin/env bash
# Tries the Debian package as an administrator would, on this machine (as
# root, without systemd): installs it with dpkg, checks the owners and modes
# of what the service reads and writes, runs the installed gateway as the
# user tarpon against the installed node configuration on a free loopback
# port, changes a password through it with tarponrc, reinstalls the package
# (the database must keep the change), then purges the package and removes
# the user again if this script made it. The machine is left as it was.
#   package-install-check.sh DEB
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(realpath "$1")

fail() {
  echo "package install: $*" >&2
  exit 1
}

[[ $(id -u) -eq 0 ]] || fail "needs root"
if dpkg-query -W -f='${Status}' tarpon 2>/dev/null | grep -q installed; then
  fail "tarpon is installed already; this check would replace it"
fi
scripts/install-deps.sh adduser
user_made=1
id tarpon >/dev/null 2>&1 && user_made=0

work=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-install.XXXXXX")
gateway=""
cleanup() {
  if [[ -n "$gateway" ]]; then
    kill "$gateway" 2>/dev/null && wait "$gateway" 2>/dev/null
  fi
  dpkg --purge tarpon >/dev/null 2>&1 || true
  if [[ $user_made -eq 1 ]]; then
    deluser --quiet --system tarpon >/dev/null 2>&1 || true
    delgroup --quiet --system tarpon >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

dpkg -i "$deb" >/dev/null

# path, owner:group and mode.
check_mode() {
  local found
  found=$(stat -c '%U:%G %a' "$1")
  [[ "$found" == "$2 $3" ]] || fail "$1 is $found, not $2 $3"
}
check_modes() {
  check_mode /etc/tarpon root:tarpon 750
  check_mode /etc/tarpon/sna-node.conf root:tarpon 640
  check_mode /etc/default/tarpons root:root 644
  check_mode /var/lib/tarpon tarpon:tarpon 700
  check_mode /var/lib/tarpon/users.db tarpon:tarpon 600
  check_mode /usr/sbin/tarpons root:root 755
  # Nothing the service keeps (key files included) is open to others.
  local open
  open=$(find /etc/tarpon /var/lib/tarpon -perm /o=rwx)
  [[ -z "$open" ]] || fail "open to others: $open"
}
check_modes
for file in /etc/default/tarpons /etc/logrotate.d/tarpons \
  /etc/tarpon/sna-node.conf; do
  dpkg-query -W -f='${Conffiles}\n' tarpon | grep -q " $file " ||
    fail "$file is no conffile"
done

# A port nothing answers on, named through a services file the user tarpon
# can read.
port=""
for candidate in $(seq 41200 41300); do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
[[ -n "$port" ]] || fail "no free port"
chmod 755 "$work"
echo "tarponGateway $port/tcp" >"$work/services"
chmod 644 "$work/services"
export TARPON_SERVICES="$work/services"

# The gateway as the service runs it, without systemd: the user tarpon, no
# capabilities, the installed configuration, the log on standard error.
# The service's start check (its ExecStartPre) first: the installed files
# pass it as tarpon.
(cd / && exec env -i PATH=/usr/sbin:/usr/bin TARPON_SERVICES="$work/services" \
  TARPON_SNA_NODE=/etc/tarpon/sna-node.conf \
  setpriv --reuid=tarpon --regid=tarpon --init-groups --inh-caps=-all \
  /usr/sbin/tarpons -check -S tarponGateway) >"$work/check.out" || {
  cat "$work/check.out" >&2
  fail "tarpons -check fails on the installed package"
}
(cd / && exec env -i PATH=/usr/sbin:/usr/bin TARPON_SERVICES="$work/services" \
  TARPON_SNA_NODE=/etc/tarpon/sna-node.conf \
  setpriv --reuid=tarpon --regid=tarpon --init-groups --inh-caps=-all \
  /usr/sbin/tarpons -S tarponGateway) 2>"$work/gateway.log" &
gateway=$!
for _ in $(seq 200); do
  grep -q "TARPON SERVER started " "$work/gateway.log" && break
  kill -0 "$gateway" 2>/dev/null || break
  sleep 0.05
done
grep -q "TARPON SERVER started " "$work/gateway.log" || {
  cat "$work/gateway.log" >&2
  fail "the gateway did not start"
}

# The packaged list of common passwords is loaded: a common one is
# refused (exit status 31) before the host is asked.
status=0
/usr/bin/tarponrc 127.0.0.1 -u ALICE -p SECRET1 -np PASSWORD -s hosta \
  >"$work/common.out" || status=$?
[[ $status -eq 31 ]] || {
  cat "$work/common.out" "$work/gateway.log" >&2
  fail "the installed gateway did not refuse a common password ($status)"
}
/usr/bin/tarponrc 127.0.0.1 -u ALICE -p SECRET1 -np KV7QX2NB -s hosta >"$work/change.out" ||
  true
grep -q "remote rc=0000" "$work/change.out" || {
  cat "$work/change.out" "$work/gateway.log" >&2
  fail "the password change through the installed gateway failed"
}
kill "$gateway"
wait "$gateway" 2>/dev/null || true
gateway=""
grep -q "^ALICE  *KV7QX2NB" /var/lib/tarpon/users.db ||
  fail "the database does not hold the new password"
check_modes

# An upgrade keeps the configuration and the database.
dpkg -i "$deb" >/dev/null
grep -q "^ALICE  *KV7QX2NB" /var/lib/tarpon/users.db ||
  fail "reinstalling the package lost the database"
check_modes

dpkg --purge tarpon >/dev/null
for path in /etc/tarpon /var/lib/tarpon /usr/sbin/tarpons; do
  [[ ! -e "$path" ]] || fail "$path is left after the purge"
done
echo "package install: installs, serves a change as the user tarpon on" \
  "port $port, keeps its data on upgrade and purges clean"
