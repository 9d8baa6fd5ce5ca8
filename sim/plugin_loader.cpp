#include "plugin_loader.h"

#include "platform/library.h"

#include <cstring>

namespace sim {

namespace {

// Copied bit for bit: a symbol's address converts to no function pointer type without a
// cast that the warnings rightly question.
template <typename Function>
bool findExport(void* handle, const char* name, Function& function)
{
    void* const symbol = platform::librarySymbol(handle, name);
    static_assert(sizeof symbol == sizeof function);
    std::memcpy(&function, &symbol, sizeof function);
    return symbol != nullptr;
}

}  // namespace

bool PluginLoader::load(const std::string& path, std::string& error)
{
    unload();
    std::string reason;
    m_handle = platform::loadLibrary(path, reason);
    if (m_handle == nullptr) {
        error = "cannot load " + path + ": " + reason;
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
        platform::unloadLibrary(m_handle);
        m_handle = nullptr;
    }
    m_exports = PluginExports{};
}

}  // namespace sim
