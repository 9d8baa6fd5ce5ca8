#include "platform/listen_options.h"

#include <sys/socket.h>

namespace platform {

void setExclusiveListenOptions(SocketHandle socket)
{
    // Not SO_REUSEPORT, with which two programs would share the port and split its connections.
    const int reuse = 1;
    ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
}

}  // namespace platform
