#!/usr/bin/env bash
# Installs what the demo needs, builds and installs the module, and runs the servo demo
# (examples/servo_demo.py: the library's servo loop renders a wall and a spring, with
# live stats), then a scene of shapes felt through a proxy (examples/shapes.py), against
# the device simulator, which each starts itself; the servo demo records its run, and the
# demo ends with a plot of it (build/demo/servo_demo.png). Arguments go to the servo
# demo; the scene takes its --port:
#
#   tools/demo.sh                  3 seconds of haptics at 1 kHz
#   tools/demo.sh --seconds 5 --rate 2000
#   tools/demo.sh --realtime       ask for SCHED_FIFO and locked memory
#   tools/demo.sh --help           the demo's options (a real arm: --port PATH)
#
# The same scene driven by a loop in Python, for comparison: examples/haptic_demo.py.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_build_tools
# pip builds the module, tavix-sim and tavix and installs them into build/venv/demo.
python="$(install_module demo "$(command -v python3)")"

recording="$ROOT/build/demo/servo_demo.mcap"
mkdir -p "$(dirname "$recording")"
rm -f "$recording"
log "Servo demo"
"$python" "$ROOT/examples/servo_demo.py" --record "$recording" "$@"

# The port of a real arm, if one was named, for the scene too.
scene_arguments=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --port) scene_arguments=(--port "${2:-}"); shift ;;
    --port=*) scene_arguments=("$1") ;;
  esac
  shift
done
log "A scene: a box with friction, a sphere and a mesh, felt through a proxy"
"$python" "$ROOT/examples/shapes.py" "${scene_arguments[@]}"

if [ -f "$recording" ]; then  # not after --help
  log "A plot of the servo demo's run, from its recording"
  "$(dirname "$python")/tavix" plot "$recording" -o "$ROOT/build/demo/servo_demo.png"
  echo "Wrote $ROOT/build/demo/servo_demo.png (the recording: $recording)"
fi
