# 32-bit Windows, cross-compiled with MinGW-w64 (Debian g++-mingw-w64-i686-posix). The test
# programs run under 32-bit Wine (Debian wine32:i386, beside wine64).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(G19_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
# The plug-in libraries themselves come from a nested build with the "-win32" compilers.
set(G19_PLUGIN_TOOLCHAIN ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686-plugin.cmake)
g19_wine_emulator(G19_WINE32 wine32:i386 wine)
