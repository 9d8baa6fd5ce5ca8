# 32-bit Windows, cross-compiled with MinGW-w64 (Debian g++-mingw-w64-i686-posix). Its
# programs cannot run here (wine64 runs 64-bit programs only); the built files are checked
# from outside.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(G19_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
