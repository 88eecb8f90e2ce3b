# Shared part of the toolchain files: Debian's cross compiler for
# GLOWKEEPER_TRIPLE, the target's libraries installed multiarch (or a sysroot),
# and qemu-user (GLOWKEEPER_QEMU_NAME) to run the unit tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${GLOWKEEPER_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${GLOWKEEPER_TRIPLE})

# pkg-config reads the target's .pc files (and the architecture-independent
# ones, such as systemd's install directories), never the build machine's.
if(CMAKE_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/${GLOWKEEPER_TRIPLE}/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${GLOWKEEPER_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
endif()

# ctest runs the unit tests under qemu-user, with the target's C library from
# the sysroot or, multiarch, from /lib (libc6:<arch>, the same release).
find_program(GLOWKEEPER_QEMU ${GLOWKEEPER_QEMU_NAME})
if(GLOWKEEPER_QEMU AND CMAKE_SYSROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GLOWKEEPER_QEMU} -L ${CMAKE_SYSROOT})
elseif(GLOWKEEPER_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GLOWKEEPER_QEMU})
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
