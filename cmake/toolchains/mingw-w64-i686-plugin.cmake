# The plug-in library for 32-bit Windows, built with the "-win32" compilers (Debian
# g++-mingw-w64-i686-win32). The windows-x86 preset builds it in a nested build (see
# plugin/CMakeLists.txt); nothing else is built with it.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(G19_MINGW_TRIPLE i686-w64-mingw32)
set(G19_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
