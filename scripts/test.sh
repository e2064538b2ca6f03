#!/usr/bin/env bash
# Installs what the build needs, builds the project from scratch and runs
# every test.
#   BUILD_DIR   build folder (default: build)
#   CMAKE_ARGS  extra configure arguments (e.g. -DTARPON_SANITIZE=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
scripts/install-deps.sh
rm -rf "$build"
# shellcheck disable=SC2086
cmake -S . -B "$build" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j2
# The valgrind checks take long: CI runs them as a step of their own.
# The browser session (label browser) is a step of its own in CI too.
ctest --test-dir "$build" -j2 --output-on-failure --timeout 300 \
  -LE "valgrind|browser"
