# Installs the build tree into a fresh prefix, then builds and runs tests/downstream/main.c against
# it twice: through find_package(plateio) and through pkg-config. The hosts run under EMULATOR when
# the build's tests do (a 32-bit build on a kernel that cannot run 32-bit programs).
set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
file(GLOB_RECURSE sonames "${prefix}/*/libplateio.so.1")
file(GLOB_RECURSE devlinks "${prefix}/*/libplateio.so")
if(NOT sonames OR NOT devlinks OR NOT EXISTS "${prefix}/include/plateio.h")
    message(FATAL_ERROR "install tree lacks the library links or the header")
endif()
get_filename_component(libdir "${sonames}" DIRECTORY)

# find_package
run("${CMAKE_COMMAND}" -S "${DOWNSTREAM_DIR}" -B "${WORK_DIR}/cmake-build"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_C_FLAGS=${C_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/cmake-build")
run(${EMULATOR} "${WORK_DIR}/cmake-build/downstream")
message(STATUS "find_package host printed ${run_output}")

# pkg-config
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} "${libdir}/pkgconfig")
run("${PKG_CONFIG}" --cflags --libs plateio)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(cflags UNIX_COMMAND "${C_FLAGS} ${LINKER_FLAGS}")
run("${C_COMPILER}" ${cflags} "${DOWNSTREAM_DIR}/main.c" ${flags} -o "${WORK_DIR}/pkgconfig-host")
set(ENV{LD_LIBRARY_PATH} "${libdir}")
run(${EMULATOR} "${WORK_DIR}/pkgconfig-host")
message(STATUS "pkg-config host printed ${run_output}")
