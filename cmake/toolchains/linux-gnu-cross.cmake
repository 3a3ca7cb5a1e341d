# What every cross build to a Debian multiarch triplet shares: Debian's cross compilers
# (g++-<triplet>), the target's C library under /usr/<triplet> (libc6-dev-<arch>-cross), and
# qemu-user to run the target's programs, so that CTest runs the test suite as it runs natively.
# Include this from a file that sets PLATEIO_CROSS_TRIPLET, PLATEIO_CROSS_PROCESSOR and
# PLATEIO_CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "${PLATEIO_CROSS_PROCESSOR}")

set(CMAKE_C_COMPILER "${PLATEIO_CROSS_TRIPLET}-gcc")
set(CMAKE_CXX_COMPILER "${PLATEIO_CROSS_TRIPLET}-g++")

# Libraries and headers come from the target's tree only; programs (python3, pkg-config, qemu) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH "/usr/${PLATEIO_CROSS_TRIPLET}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's programs run under qemu-user, which takes the target's dynamic loader and shared
# libraries (libstdc++ included) from the same tree. CTest, gtest_discover_tests and try_run use it.
find_program(PLATEIO_CROSS_QEMU_PATH "${PLATEIO_CROSS_QEMU}" NO_CMAKE_FIND_ROOT_PATH)
if(NOT PLATEIO_CROSS_QEMU_PATH)
    message(FATAL_ERROR "${PLATEIO_CROSS_QEMU} not found: install qemu-user (tools/install-deps.sh cross)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${PLATEIO_CROSS_QEMU_PATH};-L;/usr/${PLATEIO_CROSS_TRIPLET}")
