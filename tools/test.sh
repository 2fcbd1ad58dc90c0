#!/usr/bin/env bash
# Installs what the tests need, builds the project and runs every test.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_build_tools
install_debian_packages pypy3 pypy3-dev pypy3-venv

# Warnings are errors here, in every build of the test command; users' builds only
# print them.
tests=(-DTAVIX_BUILD_TESTS=ON -DTAVIX_WARNINGS_AS_ERRORS=ON)

# The build users ship, configured as the README's quickstart does (no build type given,
# so the project's default), without the tests, on a machine without GoogleTest. That
# default must be an optimised build.
log "Building (release, the default build type)"
cmake_configure "$ROOT/build/release" -DTAVIX_WARNINGS_AS_ERRORS=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
library_commands="$(ninja -C "$ROOT/build/release" -t commands TavixHardwareAPI)"
if ! grep -q -- ' -O[23s] ' <<<"$library_commands"; then
  echo "the default build compiles the library without optimisation" >&2
  exit 1
fi
cmake --build "$ROOT/build/release" -j "$JOBS"

cmake_build test "${tests[@]}"
log "C++ tests"
ctest --test-dir "$ROOT/build/test" --output-on-failure -j "$JOBS"
"$ROOT/tools/run-cpp-example.sh"

cmake_build asan "${tests[@]}" -DTAVIX_SANITIZE=address,undefined
log "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ctest --test-dir "$ROOT/build/asan" --output-on-failure -j "$JOBS"

cmake_build tsan "${tests[@]}" -DTAVIX_SANITIZE=thread
log "Concurrency test under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$ROOT/build/tsan" --output-on-failure -R Concurrency

# The C++ suites once more, built for 64-bit Arm and run under qemu-user.
"$ROOT/tools/test-arm64.sh"

# A bounded run of each fuzz harness; tools/fuzz.sh 3600 is the long run.
"$ROOT/tools/fuzz.sh" 20

while read -r name interpreter; do
  # mypy type-checks the examples, on CPython only: the mypy that pip picks for PyPy
  # fails at import there (it wants librt, which it does not install on PyPy), and the
  # check does not depend on the interpreter.
  packages=(pytest)
  [ "$name" = pypy3 ] || packages+=(mypy)
  # rosbags, a reader of ROS bags that knows nothing of our code, checks recordings.
  [ "$name" = cpython ] && packages+=(rosbags)
  python="$(install_module "$name" "$interpreter" "${packages[@]}")"
  log "Python tests ($name)"
  (cd "$ROOT/build" && "$python" -m pytest "$ROOT/python/tests" -q)
done < <(python_interpreters)

# The sdist, the manylinux wheel built from it, and the Python tests against that wheel
# installed where there is no compiler.
"$ROOT/tools/test-wheel.sh"

log "All tests passed"
