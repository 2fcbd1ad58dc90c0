#!/usr/bin/env bash
# Installs what the tests need, builds the project and runs every test.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_build_tools

cmake_build test -DTAVIX_BUILD_TESTS=ON
log "C++ tests"
ctest --test-dir "$ROOT/build/test" --output-on-failure -j "$JOBS"

log "All tests passed"
