#include "platform/listen_options.h"

#include <winsock2.h>

namespace platform {

void setExclusiveListenOptions(SocketHandle socket)
{
    // Without it another program that sets SO_REUSEADDR could bind the same port and take
    // its connections; the two options exclude each other, so only this one is set.
    const BOOL exclusive = TRUE;
    ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
}

}  // namespace platform
