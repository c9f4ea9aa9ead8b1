# Toolchain file: cross compiling for 64-bit Arm Linux (glibc) with Debian's cross compiler
# (g++-aarch64-linux-gnu) against the arm64 packages of the build machine's multiarch tree
# (libsystemd-dev:arm64). Programs that a build runs (node, for its headers) are the build
# machine's; test programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CORVELLE_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${CORVELLE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CORVELLE_CROSS_TRIPLET}-g++)

# pkg-config reads the arm64 .pc files only (libsystemd's headers are the same for every
# architecture, its library is in the multiarch folder).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CORVELLE_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs (GoogleTest's discovery, CTest) run in the emulator, with the arm64
# libraries of the multiarch tree (libc6:arm64, libstdc++6:arm64, libsystemd0:arm64).
find_program(CORVELLE_QEMU_AARCH64 qemu-aarch64)
if(CORVELLE_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVELLE_QEMU_AARCH64})
endif()

# Libraries, headers and packages of the target only; programs from the build machine.
# CORVELLE_CROSS_PREFIX may name more arm64 trees (a GoogleTest built for arm64).
set(CMAKE_FIND_ROOT_PATH /usr/${CORVELLE_CROSS_TRIPLET} $ENV{CORVELLE_CROSS_PREFIX})
set(CMAKE_LIBRARY_ARCHITECTURE ${CORVELLE_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
