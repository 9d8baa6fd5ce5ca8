#include "platform/user_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Makes every folder of `path` up to its last separator, for the user alone.
bool makeFolders(const std::string& path, std::string& error)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make " + folder + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool writeAll(int fd, std::string_view contents)
{
    while (!contents.empty()) {
        const ssize_t written = write(fd, contents.data(), contents.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

bool makeFoldersFor(const std::string& path, std::string& error)
{
    return makeFolders(path, error);
}

std::string userConfigFile(std::string_view, std::string_view posixFolder, std::string_view file)
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        base = std::string(home) + "/.config";
    } else {
        return "";
    }
    return base + "/" + std::string(posixFolder) + "/" + std::string(file);
}

bool replaceFile(const std::string& path, std::string_view contents, std::string& error)
{
    if (!makeFolders(path, error)) {
        return false;
    }
    const std::string temporary = path + ".new";
    // O_EXCL after an unlink: a link planted at the temporary name is never followed.
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = writeAll(fd, contents) && fsync(fd) == 0;
    const int savedErrno = errno;
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(written ? errno : savedErrno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool removeFile(const std::string& path)
{
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::FILE* openFile(const std::string& path, const char* mode)
{
    // The file's rights are set where it is made, so that no other user can read it even
    // for a moment.
    const mode_t previous = umask(077);
    std::FILE* file = std::fopen(path.c_str(), mode);
    const int savedErrno = errno;
    umask(previous);
    errno = savedErrno;
    return file;
}

const char* textLineEnd()
{
    return "\n";
}

bool renameFile(const std::string& from, const std::string& to, std::string& error)
{
    if (rename(from.c_str(), to.c_str()) != 0) {
        error = "cannot rename " + from + " to " + to + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace platform
