#include "platform/socket.h"

#include <algorithm>

// interrupt() is written per platform, beside the calls it has to wake.

namespace platform {

bool Interrupter::watch(SocketHandle socket)
{
    MutexLock lock(m_mutex);
    if (interrupted()) {
        return false;
    }
    m_watched.push_back(socket);
    return true;
}

void Interrupter::unwatch(SocketHandle socket)
{
    MutexLock lock(m_mutex);
    m_watched.erase(std::remove(m_watched.begin(), m_watched.end(), socket), m_watched.end());
}

}  // namespace platform
