#!/usr/bin/env bash
# Runs the local client against the example SNA node: a password change, a
# change the host refuses, and a diagnostic dump. The examples are copied to
# a temporary folder first (examples/private-node.sh), so the shipped user
# database stays as it is.
#
# Run from the repository root after a build:
#   examples/demo.sh            (programs in build/programs)
#   BUILD_DIR=build-x examples/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
tarpon="$PWD/$build/programs/tarpon"
if [[ ! -x "$tarpon" ]]; then
  echo "demo: $tarpon not found; build first (cmake -B $build && cmake --build $build)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
TARPON_SNA_NODE=$(examples/private-node.sh "$work")
export TARPON_SNA_NODE

# The engine ends its output with a NUL character for capturing callers; a
# terminal does not need it.
run() {
  echo "\$ tarpon $*"
  set +e
  "$tarpon" "$@" | tr -d '\0'
  local rc=${PIPESTATUS[0]}
  set -e
  echo "(exit status $rc)"
  echo
}

echo "== Change ALICE's password at the host hosta"
run -u ALICE -p SECRET1 -np NEWPW1 -s hosta

echo "== The old password no longer works: the host refuses the change"
run -u ALICE -p SECRET1 -np NEWPW2 -s hosta

echo "== The same request through the side information profile, with -v"
run -u ALICE -p NEWPW1 -np NEWPW2 -sd KSVSYM -v
