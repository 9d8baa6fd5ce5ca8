#pragma once
// The settings the plug-in's listener runs with. The library links the fixed ones; a
// test build of the library links short pauses on an ephemeral port instead.

#include "server/listener.h"

ServerSettings pluginListenerSettings();
