# Shared part of the MinGW-w64 cross toolchains; G19_MINGW_TRIPLE names the target and
# G19_MINGW_THREADS the compilers' thread model. The "-posix" compilers use winpthreads,
# which std::thread needs: the tools and the tests. The "-win32" compilers have no
# std::thread but leave winpthreads out: the plug-in library, which a client loads and
# unloads many times, and winpthreads takes a thread-local-storage index at every load
# that it never gives back.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT G19_MINGW_THREADS)
    set(G19_MINGW_THREADS posix)
endif()

set(CMAKE_C_COMPILER ${G19_MINGW_TRIPLE}-gcc-${G19_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${G19_MINGW_TRIPLE}-g++-${G19_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${G19_MINGW_TRIPLE}-windres)
# The binutils cannot be derived from the suffixed compiler names.
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
        # env execs the launcher, which execs Wine: a signal or a kill from the test reaches
        # the Windows program itself (Wine turns SIGINT into its console's Ctrl-C).
        set(CMAKE_CROSSCOMPILING_EMULATOR
            /usr/bin/env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
            ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/wine-run ${${variable}}
            PARENT_SCOPE)
    endif()
endfunction()
