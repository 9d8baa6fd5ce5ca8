#pragma once
// Libraries loaded at run time: the host side's loading of the plug-in (the simulated
// client, the tools and the tests), and the plug-in's hold on its own code. Written once
// for POSIX (library_posix.cpp) and once for Windows (library_win.cpp).

#include <string>

namespace platform {

using LibraryHandle = void*;

// Loads the library at `path` with its own symbols kept to itself, or returns null with
// the system's reason in `error`.
LibraryHandle loadLibrary(const std::string& path, std::string& error);
// The address of the exported symbol `name`, or null.
void* librarySymbol(LibraryHandle library, const char* name);
void unloadLibrary(LibraryHandle library);
// Whether the library at `path` is mapped into the process at all.
bool isLibraryMapped(const std::string& path);

// Keeps the library that holds this code mapped until the process ends, however often its
// host unloads it from then on: for a thread of the library that may still run after the
// host was told it may unload. The host's own loads and unloads go on as before. False
// when the system refused, or when this code is not in a library of its own.
bool keepThisLibraryMapped();

// To be called where the library catches an exception. On Windows the runtime the library
// is built with makes a thread-local-storage index for the first exception a loaded copy
// throws and never frees it, so from then on the library stays mapped, and the index is
// taken once per process instead of once per load. Nothing on POSIX.
void keepMappedAfterException();

}  // namespace platform
