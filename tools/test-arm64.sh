#!/usr/bin/env bash
# Cross-compiles the library, tavix-sim, tavix and every GoogleTest suite for 64-bit Arm
# (aarch64) and runs the suites under qemu-user, the way they run on an Arm board: the
# wire format's byte order and float layout, `char` signedness and alignment are
# checked on the other architecture. Called by tools/test.sh.
#
# Nothing needs binfmt_misc: CTest and GoogleTest's discovery start the test programs
# through the emulator the toolchain file names, and the tests start tavix-sim and
# tavix through launcher scripts that do the same (testing/CMakeLists.txt).
set -euo pipefail
source "$(dirname "$0")/common.sh"

# Debian's cross toolchain, GoogleTest built for arm64 (multiarch) and the emulator.
# dpkg must know the architecture before its packages can be named;
# install_debian_packages updates the package lists whenever it installs.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  log "Adding the arm64 architecture to dpkg"
  as_root dpkg --add-architecture arm64
fi
install_build_tools
install_debian_packages crossbuild-essential-arm64 libgtest-dev:arm64 libgmock-dev:arm64 qemu-user

# Compiler paths relative to the work tree, and no working directory in ccache's hash:
# a build in another clone of the project finds its objects in ccache as well.
export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=true
cmake_build arm64 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/aarch64-linux-gnu.cmake" \
  -DTAVIX_BUILD_TESTS=ON -DTAVIX_WARNINGS_AS_ERRORS=ON

# A toolchain that quietly built for this machine would make the run below prove nothing.
for program in Library/tests/tavix_tests sim/tavix-sim cli/tavix; do
  if ! readelf -h "$ROOT/build/arm64/$program" | grep -q 'Machine: *AArch64'; then
    echo "build/arm64/$program is not an AArch64 program" >&2
    exit 1
  fi
done

log "C++ tests on 64-bit Arm, under qemu-user"
ctest --test-dir "$ROOT/build/arm64" --output-on-failure -j "$JOBS"
