# 64-bit ARM (little-endian), Debian's aarch64-linux-gnu cross compilers, run under qemu-aarch64.
set(PLATEIO_CROSS_TRIPLET aarch64-linux-gnu)
set(PLATEIO_CROSS_PROCESSOR aarch64)
set(PLATEIO_CROSS_QEMU qemu-aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake")
