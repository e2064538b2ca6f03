#!/usr/bin/env bash
# The gateway's hooks end to end on loopback, one case a run:
#   hooks_e2e_test.sh BIN_DIR SOURCE_DIR CASE
#   ldap     sync-ldap sets the new password in a slapd started here, and a
#            bind with it succeeds; tarpons -check runs its check
#   mail     notify-mail's notice reaches an SMTP server (aiosmtpd) through
#            msmtp as sendmail, in the catalogue languages
#   slow     hooks that hang or fail delay neither the answer nor the stop
#   restart  events left by SIGTERM are delivered by the next start, each
#            once and exactly as written
#   release  an administrator's tarpons -release, another process, writes a
#            release event that the running gateway delivers
# A case whose packages are missing is skipped (exit 77). Every wait is
# bounded; everything started here is stopped.
set -euo pipefail
bin=$1 source=$2 case=$3
hooks=$source/dist/hooks
work=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-hooks.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [[ -f $work/slapd.pid ]] && kill "$(cat "$work/slapd.pid")" 2>/dev/null
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; [[ -f $work/tarpond.log ]] && cat "$work/tarpond.log" >&2; exit 1; }
skip() { echo "skipped: $*"; exit 77; }

free_port() {
  local port
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % 12000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
  fail "no free port"
}

# Waits up to $2 tenths of a second for the command $1 to succeed.
wait_for() {
  for _ in $(seq "$2"); do eval "$1" && return 0; sleep 0.1; done
  return 1
}

TARPON_SNA_NODE=$("$source/examples/private-node.sh" "$work/node")
export TARPON_SNA_NODE
echo "tarponGateway $(free_port)/tcp" >"$work/services"
export TARPON_SERVICES=$work/services

# Starts the gateway with the options given, its log in $work/tarpond.log.
gateway=""
start_gateway() {
  : >"$work/tarpond.log"
  "$bin/tarpons" -log "$work/tarpond.log" -spool "$work/spool" "$@" \
    >"$work/tarpons.out" 2>&1 &
  gateway=$!
  pids+=("$gateway")
  wait_for 'grep -q "TARPON SERVER started " "$work/tarpond.log"' 100 ||
    fail "the gateway did not start: $(cat "$work/tarpons.out")"
}
stop_gateway() {
  kill -TERM "$gateway"
  local waited=0
  while kill -0 "$gateway" 2>/dev/null; do
    sleep 0.1
    waited=$((waited + 1))
    ((waited < 100)) || fail "the gateway took over 10 s to stop"
  done
  wait "$gateway" || true
}
change() { "$bin/tarponrc" 127.0.0.1 -u "$1" -p "$2" -np "$3" -s hosta >/dev/null || true; }

hook() {
  printf '#!/bin/sh\n%s\n' "$2" >"$work/$1"
  chmod 700 "$work/$1"
  echo "$work/$1"
}

case $case in
ldap)
  command -v slapd >/dev/null && command -v ldappasswd >/dev/null ||
    skip "slapd or ldap-utils missing"
  port=$(free_port)
  mkdir "$work/db"
  cat >"$work/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
pidfile $work/slapd.pid
modulepath /usr/lib/ldap
moduleload back_mdb
database mdb
maxsize 10485760
suffix "dc=example,dc=org"
rootdn "cn=admin,dc=example,dc=org"
rootpw adminpw
directory $work/db
access to attrs=userPassword by self write by anonymous auth by * none
access to * by * read
CONF
  slapd -f "$work/slapd.conf" -h "ldap://127.0.0.1:$port" || fail "slapd did not start"
  uri=ldap://127.0.0.1:$port
  printf 'adminpw\n' >"$work/bind.pw"
  chmod 600 "$work/bind.pw"
  wait_for "ldapwhoami -x -H $uri -D cn=admin,dc=example,dc=org -y /dev/fd/3 3< <(printf adminpw) >/dev/null 2>&1" 100 ||
    fail "slapd does not answer"
  ldapadd -x -H "$uri" -D cn=admin,dc=example,dc=org -y /dev/fd/3 3< <(printf adminpw) >/dev/null <<LDIF
dn: dc=example,dc=org
objectClass: dcObject
objectClass: organization
o: Example
dc: example

dn: ou=people,dc=example,dc=org
objectClass: organizationalUnit
ou: people

dn: uid=alice,ou=people,dc=example,dc=org
objectClass: inetOrgPerson
uid: alice
cn: Alice
sn: A
userPassword: SECRET1
LDIF
  export SYNC_LDAP_URI=$uri SYNC_LDAP_BINDDN=cn=admin,dc=example,dc=org
  export SYNC_LDAP_PASSWORD_FILE=$work/bind.pw TARPON_SYNC_LDAP_CONFIG=/nonexistent
  "$bin/tarpons" -check -on-change-sync "$hooks/sync-ldap" >"$work/check.out" 2>&1 ||
    fail "check: $(cat "$work/check.out")"
  grep -q "ok *-on-change-sync hook .*sync-ldap: its check passed: sync-ldap: bound to" \
    "$work/check.out" || fail "check: $(cat "$work/check.out")"
  start_gateway -on-change-sync "$hooks/sync-ldap"
  change ALICE SECRET1 NEWPW1
  wait_for 'grep -q "sync-ldap: password of uid=alice,ou=people,dc=example,dc=org set" "$work/tarpond.log"' 100 ||
    fail "sync-ldap did not set the password"
  ldapwhoami -x -H "$uri" -D uid=alice,ou=people,dc=example,dc=org -y /dev/fd/3 \
    3< <(printf NEWPW1) >/dev/null || fail "no bind with the new password"
  if ldapwhoami -x -H "$uri" -D uid=alice,ou=people,dc=example,dc=org -y /dev/fd/3 \
    3< <(printf SECRET1) >/dev/null 2>&1; then fail "the old password still binds"; fi
  grep -q NEWPW1 "$work/tarpond.log" && fail "the new password is in the log"
  stop_gateway
  ;;
mail)
  /usr/bin/python3 -c "import aiosmtpd" 2>/dev/null && command -v msmtp >/dev/null &&
    command -v jq >/dev/null || skip "python3-aiosmtpd, msmtp or jq missing"
  port=$(free_port)
  mkdir -p "$work/maildir/tmp" "$work/maildir/new" "$work/maildir/cur"
  /usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$port" \
    -c aiosmtpd.handlers.Mailbox "$work/maildir" &
  pids+=($!)
  wait_for "(exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null" 100 || fail "no SMTP server"
  printf 'account default\nhost 127.0.0.1\nport %s\nfrom tarpon@localhost\nauth off\ntls off\n' \
    "$port" >"$work/msmtprc"
  chmod 600 "$work/msmtprc"
  sendmail=$(hook sendmail "exec msmtp -C $work/msmtprc \"\$@\"")
  printf 'NOTIFY_ADDRESS=%%l@example.org\nNOTIFY_SENDMAIL=%s\nNOTIFY_HELP="the help desk (x1234)"\n' \
    "$sendmail" >"$work/notify.conf"
  export TARPON_NOTIFY_MAIL_CONFIG=$work/notify.conf
  start_gateway -on-event "$hooks/notify-mail"
  change ALICE SECRET1 NEWPW1
  wait_for 'ls "$work/maildir/new" 2>/dev/null | grep -q .' 100 || fail "no mail came"
  /usr/bin/python3 - "$work/maildir" <<'PY' || fail "the notice is not as it should be"
import mailbox, sys
from email.header import decode_header, make_header
messages = list(mailbox.Maildir(sys.argv[1], create=False))
assert len(messages) == 1, len(messages)
m = messages[0]
assert m["To"] == "alice@example.org", m["To"]
subject = str(make_header(decode_header(m["Subject"])))
assert "Your password at HOSTA was changed" in subject, subject
assert "a été changé" in subject and "wurde geändert" in subject, subject
body = m.get_payload(decode=True).decode("utf-8")
for text in ("If you did not change it yourself", "prévenez aussitôt",
             "Wenden Sie sich sofort an", "the help desk (x1234)",
             "user ID ALICE at HOSTA"):
    assert text in body, text
assert "NEWPW1" not in m.as_string()
PY
  # A change to several hosts is one event, and one notice naming the hosts
  # whose outcome it tells.
  printf '%s\n' '{"version":1,"id":"x","type":"change","time":"2026-12-09T15:45:12.123Z","user":"BOB","destinations":[{"destination":"HOSTA","outcome":"changed","returnCode":0,"verdict":""},{"destination":"HOSTB","outcome":"refused","returnCode":2002,"verdict":""},{"destination":"HOSTC","outcome":"changed","returnCode":0,"verdict":""}],"operation":"op-1","parts":3}' |
    "$hooks/notify-mail" >/dev/null || fail "notify-mail failed for a change to several hosts"
  wait_for '[ "$(ls "$work/maildir/new" | wc -l)" = 2 ]' 100 || fail "no notice of the change to several hosts"
  /usr/bin/python3 - "$work/maildir" <<'PY' || fail "the notice of several hosts is not as it should be"
import mailbox, sys
from email.header import decode_header, make_header
m = [m for m in mailbox.Maildir(sys.argv[1], create=False) if m["To"] == "bob@example.org"][0]
subject = str(make_header(decode_header(m["Subject"])))
assert "Your password at HOSTA, HOSTC was changed" in subject, subject
assert "HOSTB" not in m.get_payload(decode=True).decode("utf-8")
PY
  stop_gateway
  ;;
slow)
  start_gateway -on-event "$(hook fails 'exit 1')" -on-event "$(hook hang 'sleep 60')" \
    -on-change-sync "$(hook hangsync 'sleep 60')"
  old=SECRET1
  for attempt in 1 2 3; do
    begin=$(date +%s%N)
    change ALICE "$old" "NEWPW$attempt"
    old=NEWPW$attempt
    took=$((($(date +%s%N) - begin) / 1000000))
    ((took < 1000)) || fail "a change took $took ms with hooks that hang"
  done
  wait_for '[ "$(grep -c "tarponRc(0)" "$work/tarpond.log")" = 3 ]' 50 ||
    fail "the changes were not made"
  wait_for 'grep -q "fails, event .*: exit 1" "$work/tarpond.log"' 100 || fail "the failing hook did not run"
  begin=$(date +%s%N)
  stop_gateway
  took=$((($(date +%s%N) - begin) / 1000000))
  ((took < 8000)) || fail "the stop took $took ms"
  grep -q "sync event for user ALICE at HOSTA (operation .*) not delivered" "$work/tarpond.log" ||
    fail "the undelivered sync events are not named"
  grep -q "NEWPW\|SECRET1" "$work/tarpond.log" && fail "a password is in the log"
  ;;
restart)
  touch "$work/refuse"
  start_gateway -on-event "$(hook flaky "[ -e $work/refuse ] && exit 1; cat >> $work/got")"
  change ALICE SECRET1 NEWPW1
  change ALICE WRONG1 NEWPW2
  change ALICE NEWPW1 NEWPW3
  wait_for '[ "$(ls "$work/spool" | grep -c json)" = 3 ]' 100 || fail "three events were not spooled"
  stop_gateway
  [ "$(ls "$work/spool" | grep -c json)" = 3 ] || fail "the stop did not keep three events"
  for file in "$work"/spool/*.json; do cat "$file"; echo; done | sort >"$work/written"
  grep -q '"outcome":"refused"' "$work/written" || fail "no refused change among $(cat "$work/written")"
  rm "$work/refuse"
  start_gateway -on-event "$work/flaky"
  grep -q "3 events wait in the spool" "$work/tarpond.log" || fail "the start did not see the spool"
  wait_for '[ -z "$(ls "$work/spool" | grep json)" ]' 100 || fail "the events were not delivered"
  stop_gateway
  sort "$work/got" >"$work/delivered"
  cmp -s "$work/written" "$work/delivered" ||
    fail "delivered $(cat "$work/delivered") for $(cat "$work/written")"
  ;;
release)
  start_gateway -state-file "$work/state" -on-event "$(hook keep "cat >> $work/got")"
  change ALICE WRONG1 NEWPW1
  change ALICE WRONG2 NEWPW1
  wait_for 'grep -q "\"type\":\"hold\"" "$work/got" 2>/dev/null' 100 || fail "no hold event"
  "$bin/tarpons" -release ALICE@NETA.KSVHOST -state-file "$work/state" \
    -spool "$work/spool" >"$work/release.out" 2>&1 || fail "release: $(cat "$work/release.out")"
  grep -qx "released ALICE@NETA.KSVHOST" "$work/release.out" || fail "release: $(cat "$work/release.out")"
  wait_for 'grep -q "\"by\":\"administrator\"" "$work/got"' 100 ||
    fail "the release event was not delivered: $(cat "$work/got")"
  grep '"type":"release"' "$work/got" | grep -q '"user":"ALICE".*"destination":"NETA.KSVHOST","outcome":"released"' ||
    fail "the release event is not as written: $(cat "$work/got")"
  grep -q "1 events came into the spool" "$work/tarpond.log" || fail "the log does not say so"
  stop_gateway
  ;;
*) fail "no case $case" ;;
esac
echo "passed: $case"
