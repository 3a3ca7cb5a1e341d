# IBM Z (64-bit, big-endian), Debian's s390x-linux-gnu cross compilers, run under qemu-s390x: the
# build that proves the library and its tests take no byte order for granted.
set(PLATEIO_CROSS_TRIPLET s390x-linux-gnu)
set(PLATEIO_CROSS_PROCESSOR s390x)
set(PLATEIO_CROSS_QEMU qemu-s390x)
include("${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake")
