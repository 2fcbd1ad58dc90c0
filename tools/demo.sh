#!/usr/bin/env bash
# Installs what the demo needs, builds the project and runs the demo.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_build_tools
cmake_build demo -DTAVIX_BUILD_TESTS=OFF
log "The library is built. The demo runs against the device simulator, which is not part of this build yet."
