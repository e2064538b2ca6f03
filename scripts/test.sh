#!/usr/bin/env bash
# Installs what the build needs, builds the project and runs every test.
# The build goes into the same folder as scripts/build.sh's and takes what
# is built there already; FRESH=1 (as CI sets it) builds from scratch.
#   BUILD_DIR   build folder (default: build)
#   CMAKE_ARGS  extra configure arguments (e.g. -DTARPON_SANITIZE=ON)
#   FRESH       1: remove the build folder first
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if [[ "${FRESH:-0}" == 1 ]]; then
  rm -rf "$build"
fi
BUILD_DIR=$build TARGETS=all scripts/build.sh
# The valgrind checks take long: CI runs them as a step of their own.
# The browser session (label browser) is a step of its own in CI too.
ctest --test-dir "$build" -j2 --output-on-failure --timeout 300 \
  -LE "valgrind|browser"
