#!/usr/bin/env bash
# Installs what the build needs and builds the programs into build/: tarpon,
# tarpons, tarponrc and tarpon-web, what the demo and the README's examples
# run. scripts/test.sh builds the tests into the same folder afterwards,
# through this script.
#   BUILD_DIR   build folder (default: build)
#   CMAKE_ARGS  extra configure arguments (e.g. -DTARPON_SANITIZE=ON)
#   TARGETS     what to build (default: the four programs; all: everything)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
scripts/install-deps.sh
# ccache, when installed, makes a build after a change or a fresh folder
# take what it compiled before.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Ninja, when installed, compiles a file as soon as what it includes is
# there, not after every library it links: the longest file starts first.
# A folder keeps the generator it was made with.
generator=()
if [[ ! -f "$build/CMakeCache.txt" ]] && command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
# shellcheck disable=SC2086
cmake -S . -B "$build" "${generator[@]}" "${launcher[@]}" ${CMAKE_ARGS:-} \
  >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target ${TARGETS:-tarpon tarpons tarponrc tarpon-web}
