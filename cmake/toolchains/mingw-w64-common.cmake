# Shared part of the MinGW-w64 cross toolchains; G19_MINGW_TRIPLE names the target.
# The "-posix" compilers use the winpthreads thread model, which std::thread needs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${G19_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${G19_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${G19_MINGW_TRIPLE}-windres)
# The binutils cannot be derived from the "-posix" compiler names.
set(CMAKE_AR ${G19_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${G19_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_NM ${G19_MINGW_TRIPLE}-nm CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${G19_MINGW_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_OBJCOPY ${G19_MINGW_TRIPLE}-objcopy CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${G19_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry their C++ runtime inside, so that they run without MinGW's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# g19_wine_emulator(VARIABLE PACKAGE PROGRAM)
# Runs the test programs under Wine's PROGRAM (wine64 or wine), which Debian's PACKAGE
# installs off the PATH: its file list says where. VARIABLE caches the path found.
function(g19_wine_emulator variable package program)
    if(NOT ${variable})
        execute_process(COMMAND dpkg -L ${package} OUTPUT_VARIABLE wine_files ERROR_QUIET)
        string(REPLACE "\n" ";" wine_files "${wine_files}")
        set(wine_program "")
        foreach(file IN LISTS wine_files)
            if(file MATCHES "/(bin|lib/wine)/${program}$" AND EXISTS "${file}" AND NOT IS_DIRECTORY "${file}")
                set(wine_program "${file}")
                break()
            endif()
        endforeach()
        if(NOT wine_program)
            find_program(wine_program NAMES ${program})
        endif()
        set(${variable} "${wine_program}" CACHE FILEPATH "Wine program that runs the Windows tests")
    endif()
    if(${variable})
        # A prefix of the build's own keeps the tests away from ~/.wine; Wine's chatter is off.
        set(CMAKE_CROSSCOMPILING_EMULATOR
            ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
            ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/wine-run ${${variable}}
            PARENT_SCOPE)
    endif()
endfunction()
