#!/usr/bin/env bash
# Installs what the build needs and builds the programs into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B "${BUILD_DIR:-build}" >/dev/null
cmake --build "${BUILD_DIR:-build}" -j2
