#!/usr/bin/env bash
# The README as a newcomer meets it: under 200 lines, its build and test
# commands as .ci/run calls them, every document it links present, and every
# shell block (each marked "<!-- readme-test -->") run as written, in order,
# in one shell, from a folder laid out as the repository (examples/, web/,
# build/) with HOME in a scratch folder. A block marked "<!-- readme-test: starts
# the gateway -->" leaves a gateway running: the next block runs once its
# port answers. The gateway's port is a free one, given through
# TARPON_SERVICES; nothing is left running.
# Usage: readme_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build_dir=$2
readme=$source_dir/README.md
fail() {
  echo "readme test: $*" >&2
  exit 1
}

lines=$(wc -l <"$readme")
((lines < 200)) || fail "README.md has $lines lines, not under 200"
for command in scripts/build.sh scripts/test.sh; do
  grep -qx "    $command" "$readme" || fail "README.md does not show $command"
done
grep -q "scripts/test.sh" "$source_dir/.ci/run" ||
  fail ".ci/run does not run the README's test command"
for link in $(grep -o '](docs/[^)#]*' "$readme" | sed 's/^](//' | sort -u); do
  [[ -f "$source_dir/$link" ]] || fail "README.md links $link, which is missing"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-readme.XXXXXX")
finish() {
  local pid
  for pid in $(cat "$work/pids" 2>/dev/null); do
    kill "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap finish EXIT
mkdir "$work/root" "$work/home"
ln -s "$source_dir/examples" "$work/root/examples"
ln -s "$source_dir/web" "$work/root/web"
ln -s "$build_dir" "$work/root/build"
port=$(python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
echo "tarponGateway $port/tcp" >"$work/services"

# The marked blocks, each after a line naming it, and after a block that
# starts the gateway a bounded wait for its port.
awk -v port="$port" '
  /^<!-- readme-test(: starts the gateway)? -->$/ {
    marked = 1; server = ($0 ~ /starts/); next
  }
  marked && /^```sh$/ { inside = 1; count++; print "block=" count; next }
  inside && /^```$/ {
    inside = 0; marked = 0
    if (server) {
      print "echo $! >>\"$READMETEST_PIDS\""
      print "for _ in $(seq 200); do"
      print "  (exec 3<>/dev/tcp/127.0.0.1/" port ") 2>/dev/null && break"
      print "  sleep 0.05"
      print "done"
    }
    next
  }
  inside { print }
  END { print "echo readme test: " count " blocks ran" }
' "$readme" >"$work/blocks.sh"
grep -q "^block=4$" "$work/blocks.sh" || fail "fewer than 4 marked blocks"
fenced=$(grep -c '^```sh$' "$readme")
[[ "$(grep -c '^block=' "$work/blocks.sh")" -eq "$fenced" ]] ||
  fail "a shell block is not marked <!-- readme-test -->"

status=0
(cd "$work/root" && env HOME="$work/home" TARPON_SERVICES="$work/services" \
  READMETEST_PIDS="$work/pids" bash -euo pipefail -c \
  "trap 'echo \"readme test: block \$block failed\" >&2' ERR
   source $work/blocks.sh") >"$work/out" 2>&1 || status=$?
cat "$work/out"
[[ $status -eq 0 ]] || fail "a marked block failed (status $status)"
grep -q "Password changed successfully" "$work/out" ||
  fail "no block changed a password"
grep -q "remote rc=0000" "$work/out" || fail "the gateway changed no password"
echo "readme test passed"
