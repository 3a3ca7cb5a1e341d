# The warning set every target of the project is built with; CI adds -Werror.
function(plateio_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wshadow)
    if(PLATEIO_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
