#include "platform/library.h"

#include <windows.h>

#include <cstring>

namespace platform {

namespace {

// Any address inside this library names it.
const char THIS_LIBRARY = 0;

}  // namespace

LibraryHandle loadLibrary(const std::string& path, std::string& error)
{
    const HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "error " + std::to_string(GetLastError());
    }
    return reinterpret_cast<LibraryHandle>(module);
}

void* librarySymbol(LibraryHandle library, const char* name)
{
    // Copied bit for bit: FARPROC converts to no object pointer without a cast that the
    // warnings rightly question.
    const FARPROC symbol = GetProcAddress(static_cast<HMODULE>(library), name);
    void* address = nullptr;
    static_assert(sizeof symbol == sizeof address);
    std::memcpy(&address, &symbol, sizeof address);
    return address;
}

void unloadLibrary(LibraryHandle library)
{
    FreeLibrary(static_cast<HMODULE>(library));
}

bool isLibraryMapped(const std::string& path)
{
    HMODULE module = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(), &module) != 0;
}

bool keepThisLibraryMapped()
{
    // A pinned module stays mapped until the process ends, whatever FreeLibrary is called.
    HMODULE module = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              &THIS_LIBRARY, &module) != 0;
}

void keepMappedAfterException()
{
    keepThisLibraryMapped();
}

}  // namespace platform
