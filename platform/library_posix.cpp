#include "platform/glibc_versions_posix.h"
#include "platform/library.h"

#include <dlfcn.h>

namespace platform {

namespace {

// Any address inside this library names it.
const char THIS_LIBRARY = 0;

}  // namespace

LibraryHandle loadLibrary(const std::string& path, std::string& error)
{
    // Local binding: the plug-in's symbols must not stand in for anything of the host.
    void* const handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = dlerror();
        error = text != nullptr ? text : "unknown error";
    }
    return handle;
}

void* librarySymbol(LibraryHandle library, const char* name)
{
    return dlsym(library, name);
}

void unloadLibrary(LibraryHandle library)
{
    dlclose(library);
}

bool isLibraryMapped(const std::string& path)
{
    void* const handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

bool keepThisLibraryMapped()
{
    Dl_info info{};
    if (dladdr(&THIS_LIBRARY, &info) == 0 || info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
        return false;
    }
    // A reference that is never given back, opened with the flag that keeps the library
    // mapped even when the host's own references are gone.
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

void keepMappedAfterException() {}

}  // namespace platform
