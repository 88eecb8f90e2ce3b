# Toolchain for 32-bit ARM gateways with hardware floating point (armhf):
# Debian's cross compiler (g++-arm-linux-gnueabihf) and the target's
# libraries installed multiarch
# (libspdlog-dev:armhf libsystemd-dev:armhf, libgtest-dev:armhf for the tests):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# No sysroot is needed; with one, add -DCMAKE_SYSROOT=/path/to/sysroot.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(GLOWKEEPER_TRIPLE arm-linux-gnueabihf)
set(GLOWKEEPER_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
