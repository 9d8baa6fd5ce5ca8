#pragma once
// The eight functions the voice client looks up in this library; nothing else is exported.
//
// The client calls every one of them on its own main thread, in this order: the five
// identity functions (any order, any number of times), ts3plugin_setFunctionPointers once,
// ts3plugin_init, and later ts3plugin_shutdown, after which it may unload the library at
// once. No C++ exception leaves any of them.

#include "host/ts3_functions.h"
#include "platform/export.h"

// The plug-in's name in UTF-8, converted on the first call. The string belongs to the
// library and is the same pointer on every call until the library is unloaded; the caller
// must not free it.
G19_EXPORT const char* ts3plugin_name();

// The plug-in's version, the same text that the display program reads with command 2. A
// constant of the library, valid until it is unloaded; the caller must not free it.
G19_EXPORT const char* ts3plugin_version();

// Before anything else: the plug-in interface version this library is built for. The
// client compares it with its own and loads nothing of another version.
G19_EXPORT int ts3plugin_apiVersion();

// Constants of the library, valid until it is unloaded; the caller must not free them.
G19_EXPORT const char* ts3plugin_author();
G19_EXPORT const char* ts3plugin_description();

// Once, before ts3plugin_init. The table arrives by value and the library keeps its own
// copy, so the caller's table need not outlive the call. The copy is written while no
// listener thread exists and only read afterwards, by that thread.
G19_EXPORT void ts3plugin_setFunctionPointers(const struct TS3Functions funcs);

// After ts3plugin_setFunctionPointers. Starts the listener thread, which serves the display
// program on TCP port 12132 and makes every call into the client's table from then on.
// Returns 0 when the thread runs, 1 when it could not be started (see ts3plugin_shutdown).
G19_EXPORT int ts3plugin_init();

// Stops the listener thread and returns once it has ended, within about a second wherever
// it was waiting; after that no code of the library runs until the next ts3plugin_init,
// and the host may unload the library at once. A thread still inside a host call after
// 1.5 s is left to end by itself when the call returns: shutdown returns anyway, the
// thread calls nothing more of the host but freeMemory for what it holds, and the library
// keeps itself mapped until the process ends. ts3plugin_init returns 1 until that thread
// has ended.
G19_EXPORT void ts3plugin_shutdown();
