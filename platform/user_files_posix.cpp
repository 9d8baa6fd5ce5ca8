#include "platform/user_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

std::string home()
{
    const char* home = std::getenv("HOME");
    return home != nullptr && home[0] == '/' ? std::string(home) : std::string();
}

// XDG_DOCUMENTS_DIR="$HOME/Documents" or an absolute path, as xdg-user-dirs writes the line;
// empty when the file names none.
std::string documentsOfUserDirs(const std::string& file)
{
    const std::optional<std::string> contents = readFile(file);
    if (!contents) {
        return "";
    }
    constexpr std::string_view KEY = "XDG_DOCUMENTS_DIR=";
    std::size_t start = 0;
    for (std::size_t end; start < contents->size(); start = end + 1) {
        end = contents->find('\n', start);
        if (end == std::string::npos) {
            end = contents->size();
        }
        std::string_view line(contents->data() + start, end - start);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        if (line.substr(0, KEY.size()) != KEY) {
            continue;
        }
        line.remove_prefix(KEY.size());
        if (line.size() < 2 || line.front() != '"' || line.find('"', 1) == std::string_view::npos) {
            return "";
        }
        std::string value(line.substr(1, line.find('"', 1) - 1));
        if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
            const std::string base = home();
            return base.empty() ? std::string() : base + value.substr(5);
        }
        return value.rfind('/', 0) == 0 ? value : std::string();
    }
    return "";
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

std::string userDocumentsFolder()
{
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        config = xdg;
    } else if (!home().empty()) {
        config = home() + "/.config";
    }
    std::vector<std::string> candidates;
    if (!config.empty()) {
        candidates.push_back(documentsOfUserDirs(config + "/user-dirs.dirs"));
    }
    if (!home().empty()) {
        candidates.push_back(home() + "/Documents");
    }
    for (const std::string& candidate : candidates) {
        if (!candidate.empty() && isFolder(candidate)) {
            return candidate;
        }
    }
    return "";
}

bool isFolder(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string absolutePath(const std::string& path)
{
    if (path.rfind('/', 0) == 0) {
        return path;
    }
    std::vector<char> folder(4096);
    while (getcwd(folder.data(), folder.size()) == nullptr) {
        if (errno != ERANGE) {
            return path;
        }
        folder.resize(folder.size() * 2);
    }
    return std::string(folder.data()) + "/" + path;
}

}  // namespace platform
