#include "platform/process.h"

#include <climits>

#include <unistd.h>

namespace platform {

std::string executableDirectory()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) {
        return {};
    }
    const std::string file(path, static_cast<std::size_t>(length));
    return file.substr(0, file.rfind('/') + 1);
}

void useBinaryStandardOutput() {}

bool standardOutputIsColourTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

}  // namespace platform
