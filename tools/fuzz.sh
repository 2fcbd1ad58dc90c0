#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang (the project configured with
# -DTAVIX_BUILD_FUZZ=ON) and runs each for a bounded time.
#
#   tools/fuzz.sh [seconds-per-harness]     (default 20)
#   tools/fuzz.sh 3600                      a longer run: one hour per harness
#
# Each harness starts from a working copy of its corpus in build/fuzz/corpus/<harness>
# (fuzz/corpus/ stays small; what a run adds to the copy is kept for the next run).
# Crashes, leaks and hangs (an input taking over 5 seconds) are written to
# build/fuzz/findings/<harness>/ and make the script exit non-zero; the full libFuzzer
# output is in build/fuzz/logs/<harness>.log. To replay a finding with the library's log
# lines: TAVIX_FUZZ_LOG=1 build/fuzz/<harness> build/fuzz/findings/<harness>/<file>
set -euo pipefail
source "$(dirname "$0")/common.sh"

seconds="${1:-20}"
harnesses=(fuzz_handle_receive fuzz_gantrel_status fuzz_unstuff fuzz_arm_exchanges)
build="$ROOT/build/fuzz"

packages=(clang-14 libclang-rt-14-dev)
command -v cmake >/dev/null || packages+=(cmake)
command -v ninja >/dev/null || packages+=(ninja-build)
install_debian_packages "${packages[@]}"

log "Building the fuzz harnesses"
cmake_configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DTAVIX_BUILD_FUZZ=ON
cmake --build "$build" -j "$JOBS" --target "${harnesses[@]}"

failed=()
for harness in "${harnesses[@]}"; do
  corpus="$build/corpus/$harness"
  findings="$build/findings/$harness"
  output="$build/logs/$harness.log"
  mkdir -p "$corpus" "$findings" "$(dirname "$output")"
  cp "$ROOT/fuzz/corpus/$harness"/* "$corpus"/

  log "Fuzzing $harness for $seconds s"
  status=0
  "$build/$harness" "$corpus" -max_total_time="$seconds" -timeout=5 -max_len=2048 \
    -artifact_prefix="$findings/" -print_final_stats=1 >"$output" 2>&1 || status=$?
  executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$output")"
  echo "$harness: ${executions:-?} executions, exit status $status"
  if [ "$status" -ne 0 ]; then
    failed+=("$harness")
    grep -E '^(==[0-9]+==|SUMMARY|fuzz check failed|artifact_prefix)' "$output" | head -n 20 || true
  fi
done

if [ "${#failed[@]}" -ne 0 ]; then
  log "Findings in: ${failed[*]} (see build/fuzz/findings and build/fuzz/logs)"
  exit 1
fi
log "No findings"
