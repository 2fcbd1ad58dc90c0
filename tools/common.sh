# Shared by the set-up commands: installing what they need and building the project.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
JOBS="$(nproc)"

log() { printf '\n== %s\n' "$*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages given that are not installed yet.
install_debian_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  log "Installing Debian packages: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The C++ toolchain and test framework.
install_build_tools() {
  local packages=(g++ make ccache googletest libgtest-dev libgmock-dev)
  command -v cmake >/dev/null || packages+=(cmake)
  command -v ninja >/dev/null || packages+=(ninja-build)
  install_debian_packages "${packages[@]}"
}

# Configures and builds the CMake project in build/<name> with extra cache arguments.
cmake_build() {
  local name="$1"
  shift
  log "Building ($name)"
  cmake -S "$ROOT" -B "$ROOT/build/$name" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" "$@" >/dev/null
  cmake --build "$ROOT/build/$name" -j "$JOBS"
}
