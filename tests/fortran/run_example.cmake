# Runs the Fortran example host on a synthetic exposure of each family, under VALGRIND when given, and
# holds its output to what the library and the host's own routines give: the host's sind, cosd and
# binning all in use and called, the binned block it hands back copied, the point brought back.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${TOOL}" synth --format tra --seed 3 -o "${WORK_DIR}/a.tra" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${TOOL}" synth --format xarea --compressed --size 300x200 --seed 4 -o "${WORK_DIR}/b.xa"
                COMMAND_ERROR_IS_FATAL ANY)
set(checker "")
if(VALGRIND)
    set(checker "${VALGRIND}" -q --error-exitcode=1 --leak-check=full
        --errors-for-leak-kinds=definite,indirect,possible)
endif()
execute_process(COMMAND ${checker} "${EXAMPLE}" "${WORK_DIR}/a.tra" "${WORK_DIR}/b.xa"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(expected
    "host routines in use: 7 "
    "host binning: factor 2, 1200 x 1200 -> 600 x 600 in a new block\n  overload_count     [0-9]+\n  profile  "
    "read_xi .*/b.xa\n.*image              300 x 200, max"
    "anti_correct       \\(3.00000000000, 4.00000000000\\)\n  the host's sind and cosd were called 12 times"
    "plateio_correct    \\(0.105475402427, 5.29895036205\\) .*\n  the host's sind and cosd were called 6 times"
    "a.tra: 1200 x 1200, overflowed [0-9]+, masked [1-9][0-9]*\n"
    "b.xa: 300 x 200, overflowed [0-9]+, masked 0\n"
    "no/such/exposure.tra: stat 2, errmsg cannot open the file")
foreach(text IN LISTS expected)
    if(NOT out MATCHES "${text}")
        set(status "output lacks '${text}'")
    endif()
endforeach()
if(NOT status EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "the Fortran example host: ${status}\n${out}\n${err}")
endif()
