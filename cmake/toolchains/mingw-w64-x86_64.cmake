# 64-bit Windows, cross-compiled with MinGW-w64 (Debian g++-mingw-w64-x86-64-posix). The
# test programs run under Wine (Debian wine64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(G19_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
# The plug-in libraries themselves come from a nested build with the "-win32" compilers.
set(G19_PLUGIN_TOOLCHAIN ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64-plugin.cmake)
g19_wine_emulator(G19_WINE64 wine64 wine64)
