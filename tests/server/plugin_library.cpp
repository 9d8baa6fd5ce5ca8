#include "plugin_library.h"

#include <chrono>
#include <thread>

#include "platform/library.h"

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
    return platform::isLibraryMapped(path);
}
