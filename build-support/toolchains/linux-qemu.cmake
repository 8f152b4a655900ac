# Cross build for Linux on TESSALY_CROSS_ARCH (aarch64 or s390x, set by the
# preset) with Debian's cross compiler; ctest runs the programs under
# qemu-user with the cross sysroot as the library root. The test projects
# CMake compiles while it probes the compiler read this file again: they need
# the same architecture.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSALY_CROSS_ARCH)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TESSALY_CROSS_ARCH})

set(_triple ${TESSALY_CROSS_ARCH}-linux-gnu)
set(CMAKE_C_COMPILER ${_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_triple}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-${TESSALY_CROSS_ARCH};-L;/usr/${_triple}")
