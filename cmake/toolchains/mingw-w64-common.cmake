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

set(CMAKE_FIND_ROOT_PATH /usr/${G19_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry their C++ runtime inside, so that they run without MinGW's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
