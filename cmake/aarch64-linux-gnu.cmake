# Cross build for the aarch64 device with Debian's cross compilers and the
# arm64 libraries installed beside the host's (dpkg multiarch).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(UPDATE_TARGET_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${UPDATE_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${UPDATE_TARGET_TRIPLET}-g++)

# Multiarch keeps the target's libraries in /usr/lib/<triplet> and its
# headers in /usr/include: the root stays /, but only the target's libraries
# and package files may be found, never the host's.
set(CMAKE_LIBRARY_ARCHITECTURE ${UPDATE_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${UPDATE_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${UPDATE_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Tests and gtest's discovery run the target's binaries in user-mode qemu.
# Their loader and libc must come from one package: the multiarch libc6:arm64
# that the arm64 libraries pull in. The cross compiler's own copy under
# /usr/${UPDATE_TARGET_TRIPLET} is an older build of the same glibc, and its
# loader paired with the multiarch libc (found through ld.so.cache) hangs the
# child of every fork. "-L /" makes that choice explicit.
find_program(UPDATE_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${UPDATE_QEMU_AARCH64} -L /)
