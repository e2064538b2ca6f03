#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan and UBSan) and runs
# each for a bounded time, starting from the seeds in fuzz/corpus/<target>/
# (with the dictionary fuzz/<target>.dict where there is one).
# Fails when the build fails or a target finds a crash, a leak, a timeout or
# a broken check; the input that did it is left in <build>/artifacts/.
#   BUILD_DIR     build folder (default: build-fuzz)
#   FUZZ_SECONDS  run time of each target in seconds (default: 20)
#   FUZZ_TARGETS  the targets to run (default: all of them)
#   CMAKE_ARGS    extra configure arguments (CI: warnings as errors)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-20}
targets=${FUZZ_TARGETS:-"command_line_fuzzer reply_fuzzer \
password_request_fuzzer record_fuzzer node_config_fuzzer user_db_fuzzer \
proxy_header_fuzzer"}

# clang and its libFuzzer runtime, when missing (Debian packages).
need=()
for pkg in clang libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${need[@]}"
fi

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Ninja, when installed, for a new folder: each file compiles as soon as
# what it includes is there, not after every library it links.
generator=()
if [[ ! -f "$build/CMakeCache.txt" ]] && command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
# shellcheck disable=SC2086
CC=clang CXX=clang++ cmake -S . -B "$build" "${generator[@]}" -DTARPON_FUZZ=ON \
  "${launcher[@]}" \
  ${CMAKE_ARGS:-} >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets

failed=()
for target in $targets; do
  work="$build/corpus/$target"
  mkdir -p "$work" "$build/artifacts"
  echo "== $target: ${seconds} s"
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
  # New inputs go to the first folder only: the seeds stay as they are.
  if ! "$build/fuzz/$target" "$work" "fuzz/corpus/$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 \
      "${dict[@]}" \
      >"$build/$target.log" 2>&1; then
    failed+=("$target")
    tail -n 60 "$build/$target.log"
  fi
  grep -E '^(stat::number_of_executed_units|Done )' "$build/$target.log" || true
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $build/artifacts/)"
  exit 1
fi
echo "fuzzing found no faults"
