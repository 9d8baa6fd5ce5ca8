# 64-bit Windows, cross-compiled with MinGW-w64 (Debian g++-mingw-w64-x86-64-posix). The
# test programs run under Wine (Debian wine64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(G19_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Debian keeps the wine64 program off the PATH; its package lists where it lies.
if(NOT G19_WINE64)
    execute_process(COMMAND dpkg -L wine64 OUTPUT_VARIABLE wine_files ERROR_QUIET)
    string(REPLACE "\n" ";" wine_files "${wine_files}")
    set(wine_program "")
    foreach(file IN LISTS wine_files)
        if(file MATCHES "/(bin|lib/wine)/wine64$" AND EXISTS "${file}" AND NOT IS_DIRECTORY "${file}")
            set(wine_program "${file}")
            break()
        endif()
    endforeach()
    if(NOT wine_program)
        find_program(wine_program NAMES wine64 wine)
    endif()
    set(G19_WINE64 "${wine_program}" CACHE FILEPATH "Wine program that runs the Windows tests")
endif()
if(G19_WINE64)
    # A prefix of the build's own keeps the tests away from ~/.wine; Wine's chatter is off.
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all ${G19_WINE64})
endif()
