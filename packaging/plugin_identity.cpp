// g19-plugin-identity LIBRARY: loads a plug-in library as the voice client does and prints
// what its five identity functions return, one "key=value" line each. The package check runs
// it under Wine to read a Windows library's identity by loading it, as it loads the Linux one.
// Nothing past the identity is called: the plug-in is never started.

#include "sim/plugin_loader.h"

#include <cstdio>
#include <string>

namespace {

const char* orEmpty(const char* text)
{
    return text != nullptr ? text : "";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: g19-plugin-identity LIBRARY\n");
        return 2;
    }
    sim::PluginLoader library;
    std::string error;
    if (!library.load(argv[1], error)) {
        std::fprintf(stderr, "g19-plugin-identity: %s\n", error.c_str());
        return 1;
    }
    const sim::PluginExports& plugin = library.exports();
    std::printf("apiVersion=%d\n", plugin.apiVersion());
    std::printf("name=%s\n", orEmpty(plugin.name()));
    std::printf("version=%s\n", orEmpty(plugin.version()));
    std::printf("author=%s\n", orEmpty(plugin.author()));
    std::printf("description=%s\n", orEmpty(plugin.description()));
    return 0;
}
