# Warnings for the project's own targets; third-party code is left alone.
function(g19_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${G19_WARNINGS_AS_ERRORS}>:/WX>)
    else()
        # Not for a resource script, whose compiler takes none of these.
        target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:C,CXX>:-Wall;-Wextra;-Wpedantic>"
                               "$<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<BOOL:${G19_WARNINGS_AS_ERRORS}>>:-Werror>")
    endif()
endfunction()
