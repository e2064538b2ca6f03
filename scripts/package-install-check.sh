#!/usr/bin/env bash
# Tries the Debian packages as an administrator would, on this machine (as
# root, without systemd): installs tarpon-client alone with dpkg (one
# program, no user, no service), then the rest; checks the owners and modes
# of what the services read and write, runs the installed gateway as the
# user tarpon against the installed node configuration, with the example's
# users put in its empty database, on a free loopback port, changes a
# password through it with tarponrc, reinstalls the packages (the database
# must keep the change), then purges them and removes the users again if
# this script made them. The machine is left as it was.
#   package-install-check.sh DEB...   (tarpon-client's package among them)
set -euo pipefail
cd "$(dirname "$0")/.."
debs=()
client=""
for deb in "$@"; do
  deb=$(realpath "$deb")
  case $(dpkg-deb --field "$deb" Package) in
    tarpon-client) client=$deb ;;
    *) debs+=("$deb") ;;
  esac
done
packages=(tarpon-client tarpon-gateway tarpon-web libtarpon-dev)

fail() {
  echo "package install: $*" >&2
  exit 1
}

[[ $(id -u) -eq 0 ]] || fail "needs root"
[[ -n "$client" && ${#debs[@]} -eq 3 ]] ||
  fail "needs the four packages, tarpon-client's among them"
for name in tarpon "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q installed; then
    fail "$name is installed already; this check would replace it"
  fi
done
scripts/install-deps.sh adduser
users_made=()
for user in tarpon tarpon-web; do
  id "$user" >/dev/null 2>&1 || users_made+=("$user")
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-install.XXXXXX")
gateway=""
cleanup() {
  if [[ -n "$gateway" ]]; then
    kill "$gateway" 2>/dev/null && wait "$gateway" 2>/dev/null
  fi
  dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
  local user
  for user in "${users_made[@]}"; do
    deluser --quiet --system "$user" >/dev/null 2>&1 || true
    delgroup --quiet --system "$user" >/dev/null 2>&1 || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The client alone: the program runs, and nothing of a server came with it.
dpkg -i "$client" >/dev/null
status=0
/usr/bin/tarponrc -? >"$work/help.out" || status=$?
[[ $status -eq 4 ]] || fail "the installed tarponrc -? exited with $status, not 4"
for user in "${users_made[@]}"; do
  if id "$user" >/dev/null 2>&1; then fail "tarpon-client made the user $user"; fi
done
for path in /usr/sbin/tarpons /lib/systemd/system/tarpons.service \
  /etc/tarpon /var/lib/tarpon; do
  [[ ! -e "$path" ]] || fail "tarpon-client installed $path"
done

dpkg -i "${debs[@]}" >/dev/null

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
  check_mode /etc/tarpon-web root:tarpon-web 750
  # Nothing the service keeps (key files included) is open to others.
  local open
  open=$(find /etc/tarpon /var/lib/tarpon /etc/tarpon-web -perm /o=rwx)
  [[ -z "$open" ]] || fail "open to others: $open"
}
check_modes
for file in tarpon-gateway:/etc/default/tarpons \
  tarpon-gateway:/etc/logrotate.d/tarpons \
  tarpon-gateway:/etc/tarpon/sna-node.conf tarpon-web:/etc/default/tarpon-web; do
  dpkg-query -W -f='${Conffiles}\n' "${file%%:*}" | grep -q " ${file#*:} " ||
    fail "${file#*:} is no conffile of ${file%%:*}"
done
# The live database starts without users; the administrator puts the
# example's in, as the guide says, to try the gateway.
if grep -qv '^#' /var/lib/tarpon/users.db; then
  fail "the installed user database holds users"
fi
install -o tarpon -g tarpon -m 0600 \
  /usr/share/doc/tarpon-gateway/examples/users.db /var/lib/tarpon/users.db

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
# Without a services entry the service has its default port (whether that
# port is free here does not matter).
if ! grep -q "^tarponGateway[[:space:]]" /etc/services; then
  (cd / && exec env -i PATH=/usr/sbin:/usr/bin \
    TARPON_SNA_NODE=/etc/tarpon/sna-node.conf \
    setpriv --reuid=tarpon --regid=tarpon --init-groups --inh-caps=-all \
    /usr/sbin/tarpons -check) >"$work/default.out" || true
  grep -q "^ok *service tarponGateway: port 5000/tcp" "$work/default.out" || {
    cat "$work/default.out" >&2
    fail "the installed gateway has no default port"
  }
fi
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
dpkg -i "$client" "${debs[@]}" >/dev/null
grep -q "^ALICE  *KV7QX2NB" /var/lib/tarpon/users.db ||
  fail "reinstalling the package lost the database"
check_modes

dpkg --purge "${packages[@]}" >/dev/null
for path in /etc/tarpon /var/lib/tarpon /usr/sbin/tarpons /etc/tarpon-web \
  /usr/sbin/tarpon-web /usr/bin/tarponrc /usr/include/tarpon; do
  [[ ! -e "$path" ]] || fail "$path is left after the purge"
done
echo "package install: the client installs alone; the packages install," \
  "serve a change as the user tarpon on port $port, keep their data on" \
  "upgrade and purge clean"
