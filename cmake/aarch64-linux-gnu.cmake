# Toolchain for 64-bit ARM (arm64) gateways: Debian's cross compiler
# (g++-aarch64-linux-gnu) and the target's libraries installed multiarch
# (libspdlog-dev:arm64 libsystemd-dev:arm64, libgtest-dev:arm64 for the tests):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# No sysroot is needed; with one, add -DCMAKE_SYSROOT=/path/to/sysroot.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(GLOWKEEPER_TRIPLE aarch64-linux-gnu)
set(GLOWKEEPER_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
