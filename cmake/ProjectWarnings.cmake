# Warnings for the project's own targets; third-party code is left alone.
function(g19_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${G19_WARNINGS_AS_ERRORS}>:/WX>)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                               $<$<BOOL:${G19_WARNINGS_AS_ERRORS}>:-Werror>)
    endif()
endfunction()
