#!/usr/bin/env bash
# Installs what the demo needs, builds and installs the module, and runs the haptic demo
# (examples/haptic_demo.py) against the device simulator, which the demo starts itself.
# Arguments go to the demo:
#
#   tools/demo.sh                  3 seconds of haptics
#   tools/demo.sh --seconds 5
#   tools/demo.sh --help           the demo's options (a real arm: --port PATH)
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_build_tools
# pip builds the module, tavix-sim and tavix and installs them into build/venv/demo.
python="$(install_module demo "$(command -v python3)")"

log "Haptic demo"
"$python" "$ROOT/examples/haptic_demo.py" "$@"
