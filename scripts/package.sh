#!/usr/bin/env bash
# Builds the Debian packages (tarpon-client, tarpon-gateway, tarpon-web,
# libtarpon-dev) in their own build folder, which stays between runs so
# that a run after a change compiles only what changed, then once more from
# scratch, and checks that both builds give the same bytes
# (SOURCE_DATE_EPOCH is the last commit's time, so the dates compiled in do
# not change; ccache gives the second build the first's objects). Checks
# each package's files and lintian's verdict (no errors, no warnings), and
# rates the service units with systemd-analyze (exposure at most 2.0).
# Then unpacks them into a scratch folder (no installation on this machine)
# and tries them out from there: tarpon -? against the example node
# configuration (exit status 4 and the same text as the build tree's
# tarpon), the other two programs' help, the manual pages, and a program
# built against the packaged libraries and headers. Ends with the time each
# part took.
#   BUILD_DIR       build folder (default: build-package)
#   CMAKE_ARGS      extra configure arguments (CI: warnings as errors)
#   REPRODUCIBLE=0  build once only, without the comparison
#   INSTALL=1       also install the packages on this machine (as root), try
#                   the gateway as its user and purge them again
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
# The package installs examples/ as the working tree holds them: they must
# be the committed files, not a copy that someone changed passwords in.
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
# the first (and both what it compiled before, CI runs since): the
# comparison then checks what the linker and the packaging make of the same
# objects. Paths are taken relative to this folder, as .ci/run takes them,
# so that a clone elsewhere hits the cache too (ccache reads the compiler's
# -ffile-prefix-map of this folder to "." the same way).
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi

packages=(tarpon-client tarpon-gateway tarpon-web libtarpon-dev)
version=$(sed -n 's/^project(Tarpon VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)

# Configures the folder $1 (kept when it holds a configuration already),
# with the generator $2 when it is new, builds only what the packages hold
# (no tests) and packs them.
build_package() {
  local new_folder=()
  [[ -f "$1/CMakeCache.txt" || -z "$2" ]] || new_folder=(-G "$2")
  # shellcheck disable=SC2086
  cmake -S . -B "$1" "${new_folder[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
    -DBUILD_TESTING=OFF "${launcher[@]}" \
    ${CMAKE_ARGS:-} >/dev/null
  cmake --build "$1" -j2 --target tarpon tarpons tarponrc tarpon-web \
    tarpon-blocklist common_passwords trace sna engine comm gateway_client \
    man_pages changelog
  rm -rf "$1"/*.deb "$1/_CPack_Packages"
  (cd "$1" && cpack -G DEB >/dev/null)
}

# The seconds each part took, said at the end, when it ends well or not.
started=$SECONDS
parts=()
part_start=$SECONDS
part_done() {
  parts+=("$1 $((SECONDS - part_start)) s")
  part_start=$SECONDS
}
say_times() {
  local part said=""
  for part in "${parts[@]}"; do said+="$part, "; done
  echo "package: ${said}$((SECONDS - started)) s in all"
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarpon-package.XXXXXX")
trap 'say_times; rm -rf "$scratch"' EXIT

# The kept folder first, then, for the comparison, a build from scratch in
# the same folder (the folder's name is in the static libraries' debugging
# information): the kept one waits aside meanwhile.
# Ninja, when installed, for a new folder: each file compiles as soon as
# what it includes is there, not after every library it links. The build
# from scratch takes the kept folder's generator, so that both link alike.
generator=""
command -v ninja >/dev/null && generator=Ninja
build_package "$build" "$generator"
generator=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$build/CMakeCache.txt")
part_done "build"
if [[ "${REPRODUCIBLE:-1}" != 0 ]]; then
  mkdir "$scratch/first"
  cp "$build"/*.deb "$scratch/first/"
  rm -rf "$build.kept"
  mv "$build" "$build.kept"
  build_package "$build" "$generator"
  rm -rf "$build.again"
  mv "$build" "$build.again"
  mv "$build.kept" "$build"
  for name in "${packages[@]}"; do
    file=${name}_${version}_${arch}.deb
    cmp -s "$scratch/first/$file" "$build.again/$file" ||
      fail "two builds gave different packages: $file"
  done
  rm -rf "$build.again"
  echo "package: two builds gave the same bytes"
  part_done "build from scratch"
fi

root="$scratch/root/usr"
debs=()
for name in "${packages[@]}"; do
  deb="$build/${name}_${version}_${arch}.deb"
  [[ -f "$deb" ]] || fail "no package $name in $build"
  debs+=("$deb")
  echo "package: $deb"
  dpkg-deb --field "$deb" Package Version Depends Recommends
  dpkg-deb -x "$deb" "$scratch/root"
  dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' >"$scratch/$name.files"
done

# What each package must hold.
holds() {
  local name=$1 file
  shift
  for file in "$@"; do
    grep -qx "$file" "$scratch/$name.files" || fail "$file missing from $name"
  done
}
holds tarpon-client usr/bin/tarponrc usr/share/man/man1/tarponrc.1.gz \
  usr/share/doc/tarpon-client/copyright
holds tarpon-gateway usr/bin/tarpon usr/sbin/tarpons usr/bin/tarpon-blocklist \
  usr/lib/systemd/system/tarpons.service usr/share/tarpon/users.db \
  usr/share/doc/tarpon-gateway/examples/sna-node.conf \
  usr/share/doc/tarpon-gateway/examples/users.db \
  usr/share/doc/tarpon-gateway/examples/haproxy-tarpons.cfg \
  usr/share/doc/tarpon-gateway/admin-guide.md \
  usr/share/man/man1/tarpon.1.gz usr/share/man/man8/tarpons.8.gz \
  etc/default/tarpons etc/logrotate.d/tarpons etc/tarpon/sna-node.conf \
  usr/lib/tarpon/hooks/notify-mail usr/lib/tarpon/hooks/sync-ldap \
  usr/share/doc/tarpon-gateway/copyright
holds tarpon-web usr/sbin/tarpon-web usr/lib/systemd/system/tarpon-web.service \
  usr/share/tarpon-web/page.html usr/share/tarpon-web/openapi.json \
  usr/share/tarpon-web/i18n/de.json usr/share/tarpon-web/static/tarpon-web.js \
  usr/share/man/man8/tarpon-web.8.gz etc/default/tarpon-web \
  usr/share/doc/tarpon-web/copyright
holds libtarpon-dev usr/include/tarpon/engine/tarpon.h \
  usr/include/tarpon/contract/tarpon_rc.h \
  usr/include/tarpon/contract/api_result.h \
  usr/include/tarpon/contract/sna_services.h \
  usr/include/tarpon/contract/option_line.h \
  usr/include/tarpon/contract/secret.h \
  usr/include/tarpon/gateway_client/tarpon_gateway.h \
  usr/share/doc/libtarpon-dev/copyright
grep -qE '^usr/lib/([^/]+/)?tarpon/libengine[.]a$' \
  "$scratch/libtarpon-dev.files" ||
  fail "libengine.a missing from libtarpon-dev"
# The client is for machines without the gateway: one program, no service,
# no maintainer script that would make a user.
extra=$(grep -v -e '/$' -e '^usr/share/doc/tarpon-client/' \
  -e '^usr/bin/tarponrc$' -e '^usr/share/man/man1/tarponrc.1.gz$' \
  -e '^usr/share/lintian/overrides/tarpon-client$' \
  "$scratch/tarpon-client.files" || true)
[[ -z "$extra" ]] || fail "tarpon-client holds more than tarponrc: $extra"
if dpkg-deb --ctrl-tarfile "$build/tarpon-client_${version}_${arch}.deb" |
  tar -t | grep -qE 'postinst|prerm|postrm'; then
  fail "tarpon-client has maintainer scripts"
fi
# No user in the database installed as the live one: the example's users
# are documentation.
if grep -qv '^#' "$root/share/tarpon/users.db"; then
  fail "the packaged user database holds users"
fi
# Every file of ours that the settings and units name is in a package.
path_pattern='/usr/(share|lib|sbin|bin)/[A-Za-z0-9_./-]+[A-Za-z0-9]'
while read -r named; do
  [[ -e "$scratch/root$named" ]] ||
    fail "$named, named in dist/, is in no package"
done < <(grep -ohE "$path_pattern" dist/*.default dist/*.service.in |
  grep -v '^/usr/lib/systemd' | sort -u)
unit="$root/lib/systemd/system/tarpons.service"
grep -q "^ExecStart=/usr/sbin/tarpons -S " "$unit" ||
  fail "the service does not start /usr/sbin/tarpons with -S"
grep -q "^User=tarpon$" "$unit" || fail "the service does not run as tarpon"
grep -q "^Type=notify$" "$unit" || fail "the service is not Type=notify"
grep -q "^ExecStartPre=/usr/sbin/tarpons -check -S " "$unit" ||
  fail "the service does not check its start with tarpons -check"
grep -q "^users = /var/lib/tarpon/users.db " \
  "$scratch/root/etc/tarpon/sna-node.conf" ||
  fail "the node configuration keeps the users elsewhere than /var/lib/tarpon"
part_done "contents"

# Debian's checks: errors and warnings fail; what remains is overridden
# with its reason in /usr/share/lintian/overrides/<package>.
lintian --fail-on error,warning "${debs[@]}" || fail "lintian found faults"
echo "package: lintian passes"
part_done "lintian"

# Each unit's exposure as systemd rates it, at most 2.0.
exposure_of() {
  local exposure
  exposure=$(systemd-analyze security --offline=yes "$1" |
    sed -n "s/.*Overall exposure level for $2: \([0-9.]*\).*/\1/p")
  awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }' ||
    fail "$2's exposure is ${exposure:-not rated}, above 2.0"
  echo "package: $2's exposure is $exposure"
}
exposure_of "$unit" tarpons.service
web_unit="$root/lib/systemd/system/tarpon-web.service"
grep -q "^User=tarpon-web$" "$web_unit" ||
  fail "tarpon-web's service does not run as tarpon-web"
exposure_of "$web_unit" tarpon-web.service

# The programs must not lean on the build tree.
for program in bin/tarpon bin/tarponrc sbin/tarpons sbin/tarpon-web; do
  if readelf -d "$root/$program" | grep -qE 'RPATH|RUNPATH'; then
    fail "$program carries a library search path"
  fi
done

# tarpon -? from the scratch folder, against the packaged example node: the
# same text and status as the build tree's tarpon.
export TARPON_SNA_NODE="$root/share/doc/tarpon-gateway/examples/sna-node.conf"
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

echo "package: the packages run from a scratch folder"
part_done "tried out"

# Installed on this machine, run as the service's user, then purged.
if [[ "${INSTALL:-0}" == 1 ]]; then
  scripts/package-install-check.sh "${debs[@]}"
  part_done "installed and purged"
fi
