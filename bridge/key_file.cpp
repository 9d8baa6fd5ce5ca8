#include "bridge/key_file.h"

#include "platform/user_files.h"


namespace bridge {

std::string defaultKeyFile()
{
    return platform::userConfigFile("Kestro G19", "kestro-g19", "remote-apps.key");
}

std::string readKey(const std::string& path)
{
    std::string key = platform::readFile(path).value_or("");
    // A key edited by hand may have gained a line end.
    const std::size_t end = key.find_last_not_of(" \t\r\n");
    key.erase(end == std::string::npos ? 0 : end + 1);
    return key;
}

bool storeKey(const std::string& path, const std::string& key, std::string& error)
{
    return platform::replaceFile(path, key + "\n", error);
}

bool forgetKey(const std::string& path)
{
    return platform::removeFile(path);
}

}  // namespace bridge
