#pragma once
// Included by the POSIX sources that call into glibc's threads and dynamic loader. glibc
// 2.34 moved these functions into the C library under a new symbol version, so a library
// linked there would ask every system for 2.34 or later, and a player's older system
// would refuse to load the plug-in. The versions of before the move are still in every
// glibc, 2.34 and later included; the plug-in asks for those.

#include <features.h>

#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.2.5");
__asm__(".symver pthread_detach, pthread_detach@GLIBC_2.2.5");
__asm__(".symver pthread_condattr_setclock, pthread_condattr_setclock@GLIBC_2.3.3");
__asm__(".symver dlopen, dlopen@GLIBC_2.2.5");
__asm__(".symver dlsym, dlsym@GLIBC_2.2.5");
__asm__(".symver dlclose, dlclose@GLIBC_2.2.5");
__asm__(".symver dlerror, dlerror@GLIBC_2.2.5");
__asm__(".symver dladdr, dladdr@GLIBC_2.2.5");
#endif
