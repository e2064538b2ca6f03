#!/usr/bin/env bash
# Fails when a tracked C++ file (*.h, *.cc) differs from what clang-format
# makes of it with the project's .clang-format; names the files and lines.
# `clang-format -i FILE` mends a file.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang-format
git ls-files -z '*.h' '*.cc' | xargs -0 clang-format --dry-run --Werror
echo "format: every tracked C++ file is formatted"
