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

# A Fortran host (where the module was built), through find_package(plateio COMPONENTS Fortran) and
# pkg-config plateio-fortran, on both families: one line a file from it, nothing from the library.
if(NOT Fortran_COMPILER)
    return()
endif()
set(files "${WORK_DIR}/synth.tra" "${WORK_DIR}/coded.xa" "${WORK_DIR}/plain.xa")
run("${SYNTH}" synth --format tra --seed 5 --geometry 0=80 --geometry 2=0.5 --geometry 4=250 -o "${WORK_DIR}/synth.tra")
run("${SYNTH}" synth --format xarea --compressed --size 640x480 --seed 6 --geometry 1=0.25 --geometry 7=1
    --setting 3 --scale-value 0.85 -o "${WORK_DIR}/coded.xa")
run("${SYNTH}" synth --format xarea --size 333x211 --seed 7 --geometry 8=2 -o "${WORK_DIR}/plain.xa")
run("${CMAKE_COMMAND}" -S "${DOWNSTREAM_DIR}/fortran" -B "${WORK_DIR}/fortran-build" "-DCMAKE_PREFIX_PATH=${prefix}"
    "-DCMAKE_Fortran_COMPILER=${Fortran_COMPILER}")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/fortran-build")
run("${PKG_CONFIG}" --cflags --libs plateio-fortran)
separate_arguments(fortran_flags UNIX_COMMAND "${run_output}")
run("${Fortran_COMPILER}" "${DOWNSTREAM_DIR}/fortran/host.f90" ${fortran_flags} -o "${WORK_DIR}/fortran-pkgconfig-host")
foreach(host IN ITEMS "${WORK_DIR}/fortran-build/downstream_fortran" "${WORK_DIR}/fortran-pkgconfig-host")
    run(${EMULATOR} "${host}" ${files})
    if(NOT run_output MATCHES
       "^family 1, 1200 x 1200, masked [1-9][0-9]*\nfamily 2, 640 x 480, masked 0\nfamily 2, 333 x 211, masked 0\n$")
        message(FATAL_ERROR "${host} printed\n${run_output}")
    endif()
endforeach()
