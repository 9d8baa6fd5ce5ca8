#include "platform/process.h"

#include <climits>

#include <sys/utsname.h>
#include <unistd.h>

namespace platform {

std::string executableDirectory()
{
    const std::string file = executablePath();
    return file.empty() ? file : file.substr(0, file.rfind('/') + 1);
}

unsigned long processId()
{
    return static_cast<unsigned long>(getpid());
}

std::string executablePath()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) {
        return {};
    }
    return std::string(path, static_cast<std::size_t>(length));
}

std::string systemDescription()
{
    utsname names{};
    if (uname(&names) != 0) {
        return "unknown";
    }
    return std::string(names.sysname) + " " + names.release + " (" + names.version + ", " + names.machine +
           ")";
}

void useUtf8Console() {}

void useBinaryStandardOutput() {}

bool standardOutputIsColourTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

}  // namespace platform
