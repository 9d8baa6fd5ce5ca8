# Linux x86-64 programs that run on glibc 2.31 and later (Debian 11, Ubuntu 20.04): the
# g19-bridge that players download. This machine's glibc is newer, and a program linked
# against it asks for the versions of its symbols (pthread_create@GLIBC_2.34 and others),
# which an older system refuses. So the programs are compiled and linked against Debian 11's
# C library, in the sysroot that scripts/deps unpacks, with this machine's clang, GCC 10's
# C++ headers from the same sysroot and its C++ runtime linked in statically: the program
# needs no libstdc++ of the system at all. The linux-compat preset uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

get_filename_component(g19_source ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
set(G19_COMPAT_SYSROOT ${g19_source}/build/deps/sysroot-bullseye CACHE PATH
    "Debian 11's C library and GCC 10's C++ headers, unpacked by scripts/deps")
if(NOT EXISTS ${G19_COMPAT_SYSROOT}/PACKAGES)
    message(FATAL_ERROR "${G19_COMPAT_SYSROOT} is missing: run scripts/deps, which unpacks it")
endif()

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET x86_64-linux-gnu)
# Clang finds GCC 10 (its headers, crt files and libraries) under the sysroot by itself.
set(CMAKE_SYSROOT ${G19_COMPAT_SYSROOT})
# The sysroot's libgcc_s is only a link to a file it does not hold, and the C++ runtime that
# is linked in wants the unwinder: both come from the static libraries, so that the program
# needs nothing but the C library.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")

set(CMAKE_FIND_ROOT_PATH ${G19_COMPAT_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
