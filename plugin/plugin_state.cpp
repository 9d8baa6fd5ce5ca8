#include "plugin/plugin_state.h"

PluginState::~PluginState()
{
    delete[] cachedName;
}

PluginState& pluginState()
{
    static PluginState state;
    return state;
}
