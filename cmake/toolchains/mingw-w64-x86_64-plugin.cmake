# The plug-in library for 64-bit Windows, built with the "-win32" compilers (Debian
# g++-mingw-w64-x86-64-win32). The windows-x64 preset builds it in a nested build (see
# plugin/CMakeLists.txt); nothing else is built with it.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(G19_MINGW_TRIPLE x86_64-w64-mingw32)
set(G19_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
