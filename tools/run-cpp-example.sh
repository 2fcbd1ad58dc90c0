#!/usr/bin/env bash
# Builds the C++ example (examples/cpp) against the installed C++ package and runs it
# against the simulator, as a user of the package would:
#   - installs the build in build/test into build/install;
#   - configures and builds examples/cpp into build/example, finding the package there;
#   - starts build/test/sim/tavix-sim arm, runs force_loop (then servo_callback) on its
#     port and stops it.
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

# The simulator is started and stopped by the launcher the examples use (tavix.simulator,
# here from the source tree), which fails unless it ends cleanly on SIGTERM.
TAVIX_SIM="$ROOT/build/test/sim/tavix-sim" PYTHONPATH="$ROOT/python" python3 - \
  "$ROOT/build/example/force_loop" "$exchanges" "$ROOT/build/example/servo_callback" <<'EOF'
import subprocess
import sys

from tavix.simulator import running

force_loop, exchanges, servo_callback = sys.argv[1:]
with running("arm") as port:
    subprocess.run([force_loop, port, exchanges], check=True)
with running("arm") as port:
    subprocess.run([servo_callback, port, "0.5"], check=True)
EOF
