#!/usr/bin/env bash
# Builds the benchmarks in Release, runs them against the device simulator and writes
# bench/RESULTS.md, bench/latency.png and bench/zwidth.png.
#
#   tools/bench.sh
#
# Takes a few minutes. Other work on the machine shows in the figures (RESULTS.md
# records the load average), so run it on an otherwise idle machine.
set -euo pipefail
source "$(dirname "$0")/common.sh"

build="$ROOT/build/bench"
results="$build/results"

install_build_tools
log "Building the benchmarks (Release)"
cmake_configure "$build" -DCMAKE_BUILD_TYPE=Release -DTAVIX_BUILD_BENCH=ON
cmake --build "$build" -j "$JOBS" --target tavix-sim bench_raw bench_library bench_cpp_turns bench_servo \
  bench_rendering bench_recording
# The module is built by pip in a build directory of the benchmarks' own.
python="$(SKBUILD_BUILD_DIR="$build/py" install_module bench "$(command -v python3)" matplotlib mcap \
  mcap-ros2-support)"

rm -rf "$results"
mkdir -p "$results"
uptime >"$results/load-before"

log "The simulator against a bare pseudo-terminal"
"$build/bench/bench_raw" "$results"
log "The C++ library with its own wait, beside the raw baseline (one time-out line is expected)"
"$build/bench/bench_library" "$results" poll
log "The C++ library with a spinning wait, beside the raw baseline (one time-out line is expected)"
"$build/bench/bench_library" "$results" spinning
log "The Python module, beside the C++ library"
TAVIX_SIM="$build/sim/tavix-sim" "$python" "$ROOT/bench/bench_python.py" "$results" \
  "$build/bench/libbench_cpp_turns.so"

uptime >"$results/load-after"
log "Writing bench/RESULTS.md and bench/latency.png"
"$python" "$ROOT/bench/report.py" "$results" "$ROOT/bench"

# After report.py, which writes RESULTS.md whole; bench_servo.py replaces only its section.
log "The servo loop: 1 and 4 kHz, real time or not, idle and under load (about 4 minutes)"
"$build/bench/bench_servo" "$results"
TAVIX_SIM="$build/sim/tavix-sim" "$python" "$ROOT/bench/bench_servo.py" "$results" "$ROOT/bench/RESULTS.md"

log "Haptic rendering: the cost of a tick, and a mesh tree's build time"
"$build/bench/bench_rendering" "$results"
"$python" "$ROOT/bench/bench_rendering.py" "$results" "$ROOT/bench/RESULTS.md"

log "Z-width: passive virtual walls on a point mass, 1 and 4 kHz, with and without passivity control (4 minutes)"
TAVIX_SIM="$build/sim/tavix-sim" "$python" "$ROOT/bench/bench_zwidth.py" "$results" "$ROOT/bench/RESULTS.md"

log "Recording: its cost to the tick, ticks lost over 10 minutes at 1 kHz and 2 at 4 kHz (about 15 minutes)"
"$build/bench/bench_recording" "$results"
TAVIX_SIM="$build/sim/tavix-sim" "$python" "$ROOT/bench/bench_recording.py" "$results" "$ROOT/bench/RESULTS.md"
