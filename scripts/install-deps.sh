#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake g++ make ninja-build pkg-config libgtest-dev libinih-dev)
# TLS between the remote client and the gateway; the tests make their
# certificates with the openssl command.
packages+=(libssl-dev openssl)
# The gateway tells systemd when it is ready, reloading or stopping.
packages+=(libsystemd-dev)
# The metrics listener's HTTP: Boost.Beast and Boost.Asio, header-only.
packages+=(libboost-dev)
# tarpon-web: JSON (nlohmann-json) and form and query decoding (uriparser).
packages+=(nlohmann-json3-dev liburiparser-dev)
# The gateway's shared store of the limit per account is Redis: its client
# library, and the server the end-to-end tests start on loopback.
packages+=(libhiredis-dev redis-server)
# Without Redis, the counts outlive a restart in an SQLite state file.
packages+=(libsqlite3-dev)
# The web demo's test asks the page and the API with curl.
packages+=(curl)
# scripts/package.sh renders the manual pages with groff when man is absent.
packages+=(groff-base)
# The packaged list of common passwords is built from the word lists of
# john-data and cracklib-runtime (and npm's, scripts/fetch-password-lists.sh).
packages+=(john-data cracklib-runtime)
# Optional packages named as arguments, e.g. "valgrind" for the memory checks
# or "prometheus" for its promtool, which checks the metrics' text, or
# "haproxy" for the rolling restart test behind a balancer.
packages+=("$@")
need=()
for pkg in "${packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${need[@]}"
