#!/usr/bin/env bash
# Copies the example SNA node (sna-node.conf and its users.db) into a
# private folder, DIR, made when missing, and prints the path to export as
# TARPON_SNA_NODE:
#
#   export TARPON_SNA_NODE=$(examples/private-node.sh ~/tarpon-node)
#
# The copy of the user database gets mode 0600: git keeps no such mode, and
# the emulated host refuses a database its group or others may read. The
# changed passwords stay in the copy, so examples/ stays as committed. Each
# run copies afresh: ALICE's password is SECRET1 again.
set -euo pipefail
if [[ $# -ne 1 || -z "$1" ]]; then
  echo "usage: $0 DIR   (prints the path to export as TARPON_SNA_NODE)" >&2
  exit 2
fi
examples=$(cd "$(dirname "$0")" && pwd -P)
umask 077
mkdir -p -- "$1"
dir=$(cd -- "$1" && pwd -P)
if [[ "$dir" == "$examples" ]]; then
  echo "private-node: $1 is examples/ itself; name a folder of your own" >&2
  exit 2
fi
install -m 0644 -- "$examples/sna-node.conf" "$dir/sna-node.conf"
install -m 0600 -- "$examples/users.db" "$dir/users.db"
echo "$dir/sna-node.conf"
