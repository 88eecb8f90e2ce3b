# Toolchain for 32-bit ARM gateways with hardware floating point (armhf):
# Debian's cross compiler (g++-arm-linux-gnueabihf) and the target's
# libraries installed multiarch
# (libspdlog-dev:armhf libsystemd-dev:armhf, libgtest-dev:armhf for the tests):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# No sysroot is needed; with one, add -DCMAKE_SYSROOT=/path/to/sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# pkg-config reads the target's .pc files (and the architecture-independent
# ones, such as systemd's install directories), never the build machine's.
if(CMAKE_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
endif()

# ctest runs the unit tests under qemu-user, with the target's C library from
# the sysroot or, multiarch, from /lib (libc6:<arch>, the same release).
find_program(GLOWKEEPER_QEMU qemu-arm)
if(GLOWKEEPER_QEMU AND CMAKE_SYSROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GLOWKEEPER_QEMU} -L ${CMAKE_SYSROOT})
elseif(GLOWKEEPER_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GLOWKEEPER_QEMU})
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
