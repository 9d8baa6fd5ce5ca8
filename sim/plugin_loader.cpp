#include "plugin_loader.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace sim {

namespace {

#ifdef _WIN32
std::string lastLoadError()
{
    return "error " + std::to_string(GetLastError());
}

void* openLibrary(const std::string& path)
{
    return reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
}

void closeLibrary(void* handle)
{
    FreeLibrary(static_cast<HMODULE>(handle));
}

// Copied bit for bit: neither a symbol address nor FARPROC converts to an arbitrary
// function pointer type without a cast that the warnings rightly question.
template <typename Function>
bool findExport(void* handle, const char* name, Function& function)
{
    const FARPROC symbol = GetProcAddress(static_cast<HMODULE>(handle), name);
    static_assert(sizeof symbol == sizeof function);
    std::memcpy(&function, &symbol, sizeof function);
    return symbol != nullptr;
}
#else
std::string lastLoadError()
{
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
}

void* openLibrary(const std::string& path)
{
    // Local binding: the plug-in's symbols must not stand in for anything of this program.
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void closeLibrary(void* handle)
{
    dlclose(handle);
}

template <typename Function>
bool findExport(void* handle, const char* name, Function& function)
{
    void* const symbol = dlsym(handle, name);
    static_assert(sizeof symbol == sizeof function);
    std::memcpy(&function, &symbol, sizeof function);
    return symbol != nullptr;
}
#endif

}  // namespace

bool PluginLoader::load(const std::string& path, std::string& error)
{
    unload();
    m_handle = openLibrary(path);
    if (m_handle == nullptr) {
        error = "cannot load " + path + ": " + lastLoadError();
        return false;
    }
    PluginExports found;
    const char* missing = nullptr;
    const auto need = [&](const char* name, auto& function) {
        if (!findExport(m_handle, name, function) && missing == nullptr) {
            missing = name;
        }
    };
    need("ts3plugin_name", found.name);
    need("ts3plugin_version", found.version);
    need("ts3plugin_apiVersion", found.apiVersion);
    need("ts3plugin_author", found.author);
    need("ts3plugin_description", found.description);
    need("ts3plugin_setFunctionPointers", found.setFunctionPointers);
    need("ts3plugin_init", found.init);
    need("ts3plugin_shutdown", found.shutdown);
    if (missing != nullptr) {
        error = path + " does not export " + missing;
        unload();
        return false;
    }
    m_exports = found;
    return true;
}

void* PluginLoader::symbol(const char* name) const
{
    void* found = nullptr;
    if (m_handle != nullptr) {
        findExport(m_handle, name, found);
    }
    return found;
}

void PluginLoader::unload()
{
    if (m_handle != nullptr) {
        closeLibrary(m_handle);
        m_handle = nullptr;
    }
    m_exports = PluginExports{};
}

}  // namespace sim
