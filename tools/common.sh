# Shared by the set-up commands: installing what they need and building the project.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
JOBS="$(nproc)"

log() { printf '\n== %s\n' "$*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Whether a Debian package is installed: NAME for this machine's architecture (or for
# all), NAME:ARCH for another. `dpkg -s NAME` fails for a package installed for two
# architectures, as GoogleTest is for the arm64 tests.
debian_package_installed() {
  local status
  status="$(dpkg-query -W -f='${Architecture} ${db:Status-Abbrev}\n' "$1" 2>/dev/null)" || return 1
  case "$1" in
    *:*) grep -q ' ii' <<<"$status" ;;
    *) grep -Eq "^($(dpkg --print-architecture)|all) ii" <<<"$status" ;;
  esac
}

# Installs the Debian packages given that are not installed yet.
install_debian_packages() {
  local missing=()
  local package
  for package in "$@"; do
    debian_package_installed "$package" || missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  log "Installing Debian packages: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The C++ toolchain and test framework.
install_build_tools() {
  local packages=(g++ make ccache googletest libgtest-dev libgmock-dev libeigen3-dev)
  command -v cmake >/dev/null || packages+=(cmake)
  command -v ninja >/dev/null || packages+=(ninja-build)
  install_debian_packages "${packages[@]}"
}

# Configures the CMake project in the build directory given, with extra cache
# arguments. A CMake cache left there by a build of another source directory (as
# bench/ and fuzz/ once were projects of their own) is dropped first; the rest stays.
cmake_configure() {
  local build="$1"
  shift
  if [ -f "$build/CMakeCache.txt" ] && ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$ROOT" "$build/CMakeCache.txt"; then
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
  fi
  cmake -S "$ROOT" -B "$build" -G Ninja "$@" >/dev/null
}

# Configures and builds the CMake project in build/<name> with extra cache arguments.
cmake_build() {
  local name="$1"
  shift
  log "Building ($name)"
  cmake_configure "$ROOT/build/$name" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" "$@"
  cmake --build "$ROOT/build/$name" -j "$JOBS"
}

# The interpreters the module is built and tested on, as "name path" lines: the
# machine's default python3, PyPy, and CPython 3.8 where pyenv has one.
python_interpreters() {
  echo "cpython $(command -v python3)"
  echo "pypy3 $(command -v pypy3)"
  if command -v pyenv >/dev/null; then
    local python38
    python38="$(ls -d "$(pyenv root)"/versions/3.8*/bin/python3.8 2>/dev/null | tail -n 1)"
    [ -n "$python38" ] && echo "cpython3.8 $python38"
  fi
  return 0
}

# Installs the module (and with it tavix-sim and tavix) with `pip install .` into a
# virtual environment of its own for the interpreter, with the packages given, if any;
# prints the environment's python. On the machine's CPython (name "cpython") it installs
# the `remote`, `mesh` and `record` extras too (Zenoh for tavix.bridge's tests, trimesh for
# Mesh.from_file's, mcap and matplotlib for recordings and plots); PyPy and 3.8 go
# without them. The demo's environment gets the `record` extra.
install_module() {
  local name="$1" interpreter="$2"
  shift 2
  local venv="$ROOT/build/venv/$name"
  log "Installing the module for $name ($("$interpreter" --version 2>&1 | head -n 1))" >&2
  [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv" >&2
  [ "$#" -eq 0 ] || "$venv/bin/python" -m pip install -q --disable-pip-version-check "$@" >&2
  local target="$ROOT"
  case "$name" in
    cpython) target="$ROOT[remote,mesh,record]" ;;
    demo) target="$ROOT[record]" ;;  # the demo records its run and plots it
  esac
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$target" >&2
  echo "$venv/bin/python"
}
