# Cross-compiling for 64-bit Arm Linux with Debian's cross toolchain
# (crossbuild-essential-arm64), with arm64 libraries such as GoogleTest from Debian's
# multiarch packages (libgtest-dev:arm64). The programs built run on this machine
# through qemu-user: CTest, GoogleTest's test discovery and the tests' own child
# processes start them with CMAKE_CROSSCOMPILING_EMULATOR, so no binfmt_misc
# registration is needed.
#
#   cmake -S . -B build/arm64 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
#
# tools/test-arm64.sh installs the packages, builds and runs the tests this way.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TAVIX_TARGET_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TAVIX_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TAVIX_TARGET_TRIPLE}-g++)

# Debian's multiarch layout: arm64 libraries and their CMake packages (GTestConfig)
# live in /usr/lib/aarch64-linux-gnu, where find_package looks once the library
# architecture is set; the cross compiler finds its own C and C++ libraries in
# /usr/aarch64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${TAVIX_TARGET_TRIPLE})

# The emulator, pointed at the cross C library's dynamic loader and libraries.
find_program(TAVIX_QEMU_AARCH64 qemu-aarch64)
if(TAVIX_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVIX_QEMU_AARCH64} -L /usr/${TAVIX_TARGET_TRIPLE})
endif()
