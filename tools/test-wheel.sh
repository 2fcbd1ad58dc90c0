#!/usr/bin/env bash
# Builds the sdist and the manylinux wheel (tools/wheel.sh), installs the wheel into a
# fresh virtual environment on a PATH without a compiler or build tools, as a user
# without them would, and runs the Python suite against it. Called by tools/test.sh.
set -euo pipefail
source "$(dirname "$0")/common.sh"

"$ROOT/tools/wheel.sh" python3
wheel="$(ls "$ROOT"/build/wheel/dist/*.whl)"

# The PATH the wheel is installed and tested on: the machine's programs less every
# compiler, linker and build tool, so that anything that tried to build would fail.
bin="$ROOT/build/wheel/bin-without-compiler"
rm -rf "$bin"
mkdir -p "$bin"
declare -A programs=()
for directory in /bin /usr/bin /usr/local/bin; do
  [ -d "$directory" ] || continue
  for program in "$directory"/*; do
    name="${program##*/}"
    case "$name" in
      cc | c++ | c89* | c99* | cpp* | gcc* | g++* | clang* | *-gcc* | *-g++* | *-cc | *-c++ | \
        *-cpp* | ld | ld.* | *-ld | *-ld.* | as | *-as | cmake | ccmake | ninja | make | \
        *-linux-gnu-*)
        continue ;;
    esac
    programs[$name]="$program"
  done
done
ln -s -t "$bin" "${programs[@]}"

venv="$ROOT/build/wheel/venv"
rm -rf "$venv"
log "Installing $(basename "$wheel") into a fresh virtual environment, without a compiler"
python3 -m venv "$venv"
path="$venv/bin:$bin"
for tool in cc gcc g++ c++ clang ld cmake ninja make; do
  if PATH="$path" command -v "$tool" >/dev/null; then
    echo "$tool is still on the PATH the wheel is tested on" >&2
    exit 1
  fi
done
# Wheels only: pip may not build anything, for the module or for the test tools.
PATH="$path" "$venv/bin/python" -m pip install -q --disable-pip-version-check \
  --only-binary :all: "$wheel" pytest mypy

log "Python tests against the installed wheel"
# Run from build/, so that the module and the programs are the installed ones.
(
  cd "$ROOT/build"
  export PATH="$path"
  "$venv/bin/python" - "$venv" <<'EOF'
import shutil, sys
from pathlib import Path
import TavixHardwareAPI, tavix
venv = Path(sys.argv[1]).resolve()
for found in (TavixHardwareAPI.__file__, tavix.__file__, shutil.which("tavix-sim"),
              shutil.which("tavix")):
    if found is None or venv not in Path(found).resolve().parents:
        sys.exit("not from the installed wheel: %s" % found)
EOF
  tavix --version
  "$venv/bin/python" -m pytest "$ROOT/python/tests" -q
)
