# A 32-bit x86 build on an x86-64 machine runs its programs natively, unless the kernel was built
# without support for 32-bit programs (some virtual machines' kernels are): then its tests run under
# qemu-i386 with the machine's own 32-bit libraries, as a cross build's run under its emulator.
# Include after project(); sets CMAKE_CROSSCOMPILING_EMULATOR before any target exists.
if(CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4
   OR NOT CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    return()
endif()
if(NOT DEFINED PLATEIO_RUNS_32BIT_NATIVELY)
    set(probe "${CMAKE_BINARY_DIR}/CMakeFiles/plateio_run_probe.c")
    file(WRITE "${probe}" "int main(void) { return 0; }\n")
    try_run(probe_run probe_compiled "${CMAKE_BINARY_DIR}/CMakeFiles/plateio_run_probe" "${probe}")
    if(probe_compiled AND probe_run EQUAL 0)
        set(native ON)
    else()
        set(native OFF)
    endif()
    set(PLATEIO_RUNS_32BIT_NATIVELY ${native} CACHE INTERNAL "The kernel runs this build's 32-bit programs")
endif()
if(NOT PLATEIO_RUNS_32BIT_NATIVELY)
    find_program(PLATEIO_QEMU_I386 qemu-i386)
    if(NOT PLATEIO_QEMU_I386)
        message(FATAL_ERROR "This kernel cannot run 32-bit x86 programs and qemu-i386 is missing: "
                            "install qemu-user (tools/install-deps.sh m32)")
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR "${PLATEIO_QEMU_I386};-L;/")
    message(STATUS "This kernel cannot run 32-bit x86 programs: the tests run under ${PLATEIO_QEMU_I386}")
endif()
