#include "platform/user_files.h"

namespace platform {

std::optional<std::string> readFile(const std::string& path)
{
    std::FILE* file = openFile(path, "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string contents;
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        contents.append(buffer, count);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        return std::nullopt;
    }
    return contents;
}

}  // namespace platform
