#!/usr/bin/env bash
# Builds the libraries whose members sit behind a lock with clang's
# thread-safety analysis (contract/thread_annotations.h) in
# build-thread-safety: a member read or written without its lock, or a
# function called without the lock it requires, fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang++ >/dev/null || scripts/install-deps.sh clang
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
generator=()
if [[ ! -f build-thread-safety/CMakeCache.txt ]] && command -v ninja >/dev/null
then
  generator=(-G Ninja)
fi
cmake -S . -B build-thread-safety "${generator[@]}" "${launcher[@]}" \
  -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror" >/dev/null
cmake --build build-thread-safety -j2 --target comm metrics events gateway web
