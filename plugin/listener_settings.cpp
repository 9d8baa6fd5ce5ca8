#include "plugin/listener_settings.h"

ServerSettings pluginListenerSettings()
{
    // Port 12132 on every IPv4 interface, with the display program's expected pauses.
    return ServerSettings{};
}
