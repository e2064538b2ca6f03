#!/usr/bin/env bash
# Builds the Debian package in its own build folder, twice, and checks that
# both builds give the same bytes (SOURCE_DATE_EPOCH is the last commit's
# time, so the dates compiled in do not change). Checks it with lintian
# (no errors, no warnings) and rates the service unit with systemd-analyze
# (exposure at most 2.0). Then unpacks it into a scratch folder (no
# installation on this machine) and tries it out from there: tarpon -?
# against the example node configuration (exit status 4 and the same text
# as the build tree's tarpon), the other two programs' help, the manual
# pages, and a program built against the packaged libraries and headers.
#   BUILD_DIR       build folder (default: build-package)
#   CMAKE_ARGS      extra configure arguments (CI: warnings as errors)
#   REPRODUCIBLE=0  build once only, without the comparison
#   INSTALL=1       also install the package on this machine (as root), try
#                   the gateway as its user and purge the package again
#                   (scripts/package-install-check.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-package}

fail() {
  echo "package: $*" >&2
  exit 1
}

# dpkg-dev for the build flags and dpkg-shlibdeps, file for CPack to find
# the programs whose libraries it asks about, lintian and systemd-analyze
# for the checks.
scripts/install-deps.sh dpkg-dev file lintian systemd
# The package installs examples/ as the working tree holds them, and the
# service's first user database is examples/users.db: they must be the
# committed files, not a copy that someone changed passwords in.
if git rev-parse -q --verify HEAD >/dev/null 2>&1 &&
  ! git diff --quiet HEAD -- examples/users.db examples/sna-node.conf; then
  fail "examples/ differs from the last commit (git checkout examples/users.db examples/sna-node.conf restores it)"
fi
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH
# Debian's compiler and linker flags with every hardening feature; CMake
# takes CXXFLAGS and LDFLAGS when it first configures a build folder.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CXXFLAGS LDFLAGS

# ccache, when installed, gives the second build the compiler's output of
# the first (what it compiled before CI runs since): the comparison then
# checks what the linker and the packaging make of the same objects.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

build_package() {
  rm -rf "$build"
  # Only what the package holds is built; tests are not.
  # shellcheck disable=SC2086
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
    -DBUILD_TESTING=OFF "${launcher[@]}" \
    ${CMAKE_ARGS:-} >/dev/null
  cmake --build "$build" -j2 --target tarpon tarpons tarponrc tarpon-web \
    tarpon-blocklist common_passwords trace sna engine comm gateway_client \
    man_pages changelog
  (cd "$build" && cpack -G DEB >/dev/null)
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

if [[ "${REPRODUCIBLE:-1}" != 0 ]]; then
  build_package
  cp "$build"/tarpon_*.deb "$scratch/first.deb"
fi
build_package
debs=("$build"/tarpon_*.deb)
deb=${debs[0]}
[[ -f "$deb" ]] || fail "no package in $build"
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Depends Recommends
if [[ -f "$scratch/first.deb" ]]; then
  cmp -s "$scratch/first.deb" "$deb" || fail "two builds gave different packages"
  echo "package: two builds gave the same bytes"
fi
dpkg-deb -x "$deb" "$scratch/root"
root="$scratch/root/usr"
for file in bin/tarpon bin/tarponrc sbin/tarpons \
  include/tarpon/engine/tarpon.h include/tarpon/contract/tarpon_rc.h \
  include/tarpon/contract/api_result.h include/tarpon/contract/sna_services.h \
  include/tarpon/gateway_client/tarpon_gateway.h \
  lib/systemd/system/tarpons.service share/tarpon/users.db \
  share/doc/tarpon/examples/sna-node.conf share/doc/tarpon/examples/users.db \
  share/man/man1/tarpon.1.gz share/man/man1/tarponrc.1.gz \
  share/man/man8/tarpons.8.gz ../etc/default/tarpons \
  sbin/tarpon-web lib/systemd/system/tarpon-web.service \
  share/tarpon-web/page.html share/tarpon-web/openapi.json \
  share/tarpon-web/i18n/de.json share/tarpon-web/static/tarpon-web.js \
  share/man/man8/tarpon-web.8.gz ../etc/default/tarpon-web \
  ../etc/logrotate.d/tarpons ../etc/tarpon/sna-node.conf \
  lib/tarpon/hooks/notify-mail lib/tarpon/hooks/sync-ldap share/doc/tarpon/hooks.md; do
  [[ -e "$root/$file" ]] || fail "$file missing from the package"
done
unit="$root/lib/systemd/system/tarpons.service"
grep -q "^ExecStart=/usr/sbin/tarpons -S " "$unit" ||
  fail "the service does not start /usr/sbin/tarpons with -S"
grep -q "^User=tarpon$" "$unit" || fail "the service does not run as tarpon"
grep -q "^Type=notify$" "$unit" || fail "the service is not Type=notify"
grep -q "^ExecStartPre=/usr/sbin/tarpons -check -S " "$unit" ||
  fail "the service does not check its start with tarpons -check"
grep -q "^users = /var/lib/tarpon/users.db " "$root/../etc/tarpon/sna-node.conf" ||
  fail "the node configuration keeps the users elsewhere than /var/lib/tarpon"

# Debian's checks: errors and warnings fail; what remains is overridden
# with its reason in /usr/share/lintian/overrides/tarpon.
lintian --fail-on error,warning "$deb" || fail "lintian found faults"
echo "package: lintian passes"

# The unit's exposure as systemd rates it, at most 2.0.
exposure=$(systemd-analyze security --offline=yes "$unit" |
  sed -n 's/.*Overall exposure level for tarpons.service: \([0-9.]*\).*/\1/p')
[[ -n "$exposure" ]] || fail "systemd-analyze rated no exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' ||
  fail "the service's exposure is $exposure, above 2.0"
echo "package: the service's exposure is $exposure"
web_unit="$root/lib/systemd/system/tarpon-web.service"
grep -q "^User=tarpon-web$" "$web_unit" ||
  fail "tarpon-web's service does not run as tarpon-web"
exposure=$(systemd-analyze security --offline=yes "$web_unit" |
  sed -n 's/.*Overall exposure level for tarpon-web.service: \([0-9.]*\).*/\1/p')
awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }' ||
  fail "tarpon-web's exposure is ${exposure:-not rated}, above 2.0"
echo "package: tarpon-web's exposure is $exposure"

# The programs must not lean on the build tree.
for program in bin/tarpon bin/tarponrc sbin/tarpons sbin/tarpon-web; do
  if readelf -d "$root/$program" | grep -qE 'RPATH|RUNPATH'; then
    fail "$program carries a library search path"
  fi
done

# tarpon -? from the scratch folder, against the packaged example node: the
# same text and status as the build tree's tarpon.
export TARPON_SNA_NODE="$root/share/doc/tarpon/examples/sna-node.conf"
usage() {
  local status=0
  (cd "$scratch" && "$1" -?) >"$2" || status=$?
  [[ $status -eq 4 ]] || fail "$1 -? exited with $status, not 4"
}
usage "$root/bin/tarpon" "$scratch/usage.packaged"
usage "$(cd "$build" && pwd)/programs/tarpon" "$scratch/usage.built"
grep -q "Command syntax:" "$scratch/usage.packaged" ||
  fail "tarpon -? printed no syntax"
cmp -s "$scratch/usage.packaged" "$scratch/usage.built" || {
  diff <(tr '\0' '@' <"$scratch/usage.built") \
    <(tr '\0' '@' <"$scratch/usage.packaged") >&2 || true
  fail "the packaged tarpon -? printed another text than the built one"
}

for program in bin/tarponrc sbin/tarpons; do
  status=0
  "$root/$program" -? >"$scratch/help.out" 2>&1 || status=$?
  [[ $status -eq 4 ]] || fail "$program -? exited with $status, not 4"
  grep -q "syntax" "$scratch/help.out" || fail "$program -? printed no syntax"
done

# The manual pages render without warnings.
for page in "$root"/share/man/man*/*.gz; do
  if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  else
    warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
  fi
  [[ -z "$warnings" ]] || fail "$(basename "$page"): $warnings"
done

# A program built against the packaged libraries and headers.
mkdir -p "$scratch/consumer"
cat >"$scratch/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(consumer CXX)
find_package(Tarpon 2.0 REQUIRED COMPONENTS sna)
add_executable(consumer main.cc)
target_link_libraries(consumer PRIVATE Tarpon::engine Tarpon::sna
  Tarpon::gateway_client)
CMAKE
cat >"$scratch/consumer/main.cc" <<'CXX'
#include <cstring>

#include "engine/tarpon.h"
#include "gateway_client/tarpon_gateway.h"

// Asks the engine for its usage text and checks the captured result.
int main() {
  static char text[8192];
  ApiResult result = {0, sizeof text, text};
  int rc = tarpon("a", "b", "c", nullptr, &result, "-?");
  bool usage = std::strstr(text, "Command syntax:") != nullptr;
  return rc == 4 && result.returnCode == 4 && usage ? 0 : 1;
}
CXX
cmake -S "$scratch/consumer" -B "$scratch/consumer/build" \
  -DCMAKE_PREFIX_PATH="$root" >/dev/null
cmake --build "$scratch/consumer/build" >/dev/null
"$scratch/consumer/build/consumer" || fail "the library consumer failed"

echo "package: $deb runs from a scratch folder"

# Installed on this machine, run as the service's user, then purged.
if [[ "${INSTALL:-0}" == 1 ]]; then
  scripts/package-install-check.sh "$deb"
fi
