#pragma once
// The options of a tool's listening socket (g19-hostsim's web console), written once for
// POSIX (listen_options_posix.cpp) and once for Windows (listen_options_win.cpp). Either way
// a second program cannot listen on a port that one already holds; POSIX lets a restart bind
// a port whose old connections are still in TIME_WAIT.

#include "platform/socket.h"

namespace platform {

void setExclusiveListenOptions(SocketHandle socket);

}  // namespace platform
