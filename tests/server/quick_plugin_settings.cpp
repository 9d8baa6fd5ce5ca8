// The listener settings of the test build of the plug-in library: an ephemeral loopback
// port and short pauses, so that a test can load, use and unload it many times quickly.

#include "platform/export.h"
#include "plugin/listener_settings.h"

#include <atomic>

namespace {

std::atomic<std::uint16_t> g_listeningPort{0};

}  // namespace

// The port the listener listens on, 0 until it listens.
G19_EXPORT std::uint16_t g19test_listeningPort()
{
    return g_listeningPort.load();
}

ServerSettings pluginListenerSettings()
{
    g_listeningPort = 0;
    ServerSettings settings;
    settings.address = 0x7F000001;
    settings.port = 0;
    settings.threadStartDelay = std::chrono::milliseconds(0);
    settings.serverLifeDelay = std::chrono::milliseconds(10);
    settings.acceptDelay = std::chrono::milliseconds(0);
    settings.failedReceiveDelay = std::chrono::milliseconds(10);
    settings.onListening = [](std::uint16_t port) { g_listeningPort = port; };
    return settings;
}
