#include "request_guard.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace console {

namespace {

std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool isPort(std::string_view text)
{
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

}  // namespace

bool isLoopbackHost(std::string_view host)
{
    const std::string lower = lowerCase(host);
    for (const std::string_view name : {"localhost", "127.0.0.1", "[::1]"}) {
        if (lower == name) {
            return true;
        }
        if (lower.size() > name.size() + 1 && lower.compare(0, name.size(), name) == 0 &&
            lower[name.size()] == ':' && isPort(std::string_view(lower).substr(name.size() + 1))) {
            return true;
        }
    }
    return false;
}

bool isOwnOrigin(std::string_view host, std::string_view origin, bool hasOrigin, std::string_view referer,
                 bool hasReferer)
{
    const std::string own = "http://" + lowerCase(host);
    if (hasOrigin) {
        return lowerCase(origin) == own;
    }
    if (hasReferer) {
        const std::string lower = lowerCase(referer);
        return lower == own || lower.compare(0, own.size() + 1, own + "/") == 0;
    }
    return true;
}

bool onlyReads(std::string_view method)
{
    return method == "GET" || method == "HEAD";
}

}  // namespace console
