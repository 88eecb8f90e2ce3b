# Toolchain for 64-bit ARM (arm64) gateways: Debian's cross compiler
# (g++-aarch64-linux-gnu) and the target's libraries installed multiarch
# (libspdlog-dev:arm64 libsystemd-dev:arm64, libgtest-dev:arm64 for the tests):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# No sysroot is needed; with one, add -DCMAKE_SYSROOT=/path/to/sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# pkg-config reads the target's .pc files (and the architecture-independent
# ones, such as systemd's install directories), never the build machine's.
if(CMAKE_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
endif()

# ctest runs the unit tests under qemu-user, with the target's C library from
# the sysroot or, multiarch, from /lib (libc6:<arch>, the same release).
find_program(GLOWKEEPER_QEMU qemu-aarch64)
if(GLOWKEEPER_QEMU AND CMAKE_SYSROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GLOWKEEPER_QEMU} -L ${CMAKE_SYSROOT})
elseif(GLOWKEEPER_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GLOWKEEPER_QEMU})
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
