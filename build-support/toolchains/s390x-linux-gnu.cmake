# s390x Linux (big-endian) under qemu-user: see linux-qemu.cmake.
set(TESSALY_CROSS_ARCH s390x)
include("${CMAKE_CURRENT_LIST_DIR}/linux-qemu.cmake")
