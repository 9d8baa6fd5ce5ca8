#include "plugin_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void* open(const std::string& path)
{
#if defined(_WIN32)
    return reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
#else
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
}

void* lookUp(void* handle, const char* name)
{
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

template <typename Function>
void bind(Function& function, void* handle, const char* name)
{
    function = reinterpret_cast<Function>(lookUp(handle, name));
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) : m_handle(open(path))
{
    if (m_handle == nullptr) {
        return;
    }
    bind(name, m_handle, "ts3plugin_name");
    bind(version, m_handle, "ts3plugin_version");
    bind(apiVersion, m_handle, "ts3plugin_apiVersion");
    bind(author, m_handle, "ts3plugin_author");
    bind(description, m_handle, "ts3plugin_description");
    bind(setFunctionPointers, m_handle, "ts3plugin_setFunctionPointers");
    bind(init, m_handle, "ts3plugin_init");
    bind(shutdown, m_handle, "ts3plugin_shutdown");
}

PluginLibrary::~PluginLibrary()
{
    if (m_handle != nullptr && shutdown != nullptr) {
        shutdown();
    }
    unload();
}

bool PluginLibrary::complete() const
{
    return m_handle != nullptr && name != nullptr && version != nullptr && apiVersion != nullptr &&
           author != nullptr && description != nullptr && setFunctionPointers != nullptr && init != nullptr &&
           shutdown != nullptr;
}

void* PluginLibrary::symbol(const char* symbolName) const
{
    return m_handle != nullptr ? lookUp(m_handle, symbolName) : nullptr;
}

void PluginLibrary::unload()
{
    if (m_handle == nullptr) {
        return;
    }
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(m_handle));
#else
    dlclose(m_handle);
#endif
    m_handle = nullptr;
}

bool PluginLibrary::isMapped(const std::string& path)
{
#if defined(_WIN32)
    HMODULE module = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(), &module) != 0;
#else
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
#endif
}
