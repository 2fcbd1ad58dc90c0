#!/usr/bin/env bash
# Builds the C++ example (examples/cpp) against the installed C++ package and runs it
# against the simulator, as a user of the package would:
#   - installs the build in build/test into build/install;
#   - configures and builds examples/cpp into build/example, finding the package there;
#   - starts build/test/sim/tavix-sim arm, runs force_loop on its port and stops it.
# Run by tools/test.sh after build/test is built.
#
#   tools/run-cpp-example.sh [exchanges]     (default 300)
set -euo pipefail
source "$(dirname "$0")/common.sh"

exchanges="${1:-300}"

log "C++ example built against the installed package"
cmake --install "$ROOT/build/test" --prefix "$ROOT/build/install" >/dev/null
cmake -S "$ROOT/examples/cpp" -B "$ROOT/build/example" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" \
  -DCMAKE_PREFIX_PATH="$ROOT/build/install" >/dev/null
cmake --build "$ROOT/build/example"

# The simulator prints its port's path on its first line and serves until SIGTERM.
coproc simulator { exec "$ROOT/build/test/sim/tavix-sim" arm; }
simulator_pid="$simulator_PID"
trap 'kill "$simulator_pid" 2>/dev/null || true' EXIT
if ! read -r -t 5 port <&"${simulator[0]}"; then
  echo "tavix-sim printed no port within 5 s" >&2
  exit 1
fi
"$ROOT/build/example/force_loop" "$port" "$exchanges"
kill "$simulator_pid"
wait "$simulator_pid"  # 0 when it stopped cleanly on SIGTERM
trap - EXIT
