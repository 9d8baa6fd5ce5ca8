#include "plugin_library.h"

#include <chrono>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

PluginLibrary::PluginLibrary(const std::string& path)
{
    // A library that cannot be used shows as incomplete; the tests assert on that.
    std::string error;
    if (m_loader.load(path, error)) {
        static_cast<sim::PluginExports&>(*this) = m_loader.exports();
    }
}

PluginLibrary::~PluginLibrary()
{
    if (m_loader.loaded()) {
        shutdown();
    }
    unload();
}

void PluginLibrary::unload()
{
    m_loader.unload();
    static_cast<sim::PluginExports&>(*this) = m_loader.exports();
}

std::uint16_t PluginLibrary::waitForListeningPort(std::chrono::milliseconds timeout) const
{
    auto listeningPort = reinterpret_cast<std::uint16_t (*)()>(symbol("g19test_listeningPort"));
    if (listeningPort == nullptr) {
        return 0;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint16_t port = listeningPort();
    while (port == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        port = listeningPort();
    }
    return port;
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
