# The host routines are weak undefined references of the shared library: a host that exports them
# binds them, and a host that supplies none can still load the library (even with RTLD_NOW), which
# then uses its built-in routines. A strong reference would make such a load fail outright.
execute_process(COMMAND "${NM}" -D --undefined-only "${LIBRARY}" OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
foreach(routine IN ITEMS sind cosd binning)
    if(NOT listing MATCHES "(^|\n) *w ${routine}(\n|$)")
        message(FATAL_ERROR "${routine} is not a weak undefined reference:\n${listing}")
    endif()
endforeach()
message(STATUS "sind, cosd and binning are weak")
