# The Fortran module, for hosts written in Fortran: PLATEIO_FORTRAN=AUTO builds it when a Fortran
# compiler is found, ON requires one, OFF leaves Fortran out. Sets PLATEIO_WITH_FORTRAN.
set(PLATEIO_FORTRAN AUTO CACHE STRING "Build the Fortran module (AUTO: when a Fortran compiler is found)")
set_property(CACHE PLATEIO_FORTRAN PROPERTY STRINGS AUTO ON OFF)
set(PLATEIO_WITH_FORTRAN OFF)
if(PLATEIO_FORTRAN STREQUAL "ON" OR PLATEIO_FORTRAN STREQUAL "AUTO")
    include(CheckLanguage)
    check_language(Fortran)
    if(CMAKE_Fortran_COMPILER)
        enable_language(Fortran)
        set(PLATEIO_WITH_FORTRAN ON)
    elseif(PLATEIO_FORTRAN STREQUAL "ON")
        message(FATAL_ERROR "PLATEIO_FORTRAN is ON, but no Fortran compiler was found")
    else()
        message(STATUS "No Fortran compiler: the Fortran module is not built")
    endif()
elseif(NOT PLATEIO_FORTRAN STREQUAL "OFF")
    message(FATAL_ERROR "PLATEIO_FORTRAN must be AUTO, ON or OFF, not '${PLATEIO_FORTRAN}'")
endif()

# The warning set of the Fortran sources, and the standard they keep to.
function(plateio_fortran_warnings target)
    target_compile_options(${target} PRIVATE
        "$<$<COMPILE_LANGUAGE:Fortran>:-std=f2008;-Wall;-Wextra;-pedantic;-Wconversion;-Wimplicit-interface>"
        "$<$<AND:$<COMPILE_LANGUAGE:Fortran>,$<BOOL:${PLATEIO_WERROR}>>:-Werror>")
endfunction()
