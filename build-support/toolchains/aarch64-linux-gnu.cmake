# aarch64 Linux under qemu-user: see linux-qemu.cmake.
set(TESSALY_CROSS_ARCH aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/linux-qemu.cmake")
