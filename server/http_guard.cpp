#include "server/http_guard.h"

#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view HTTP_METHODS[] = {
    "GET ", "POST ", "PUT ", "HEAD ", "OPTIONS ", "DELETE ", "PATCH ", "CONNECT ", "TRACE ",
};

}  // namespace

bool looksLikeHttpRequest(const std::uint8_t* bytes, std::size_t count)
{
    if (bytes == nullptr) {
        return false;
    }
    for (const std::string_view method : HTTP_METHODS) {
        if (count >= method.size() && std::memcmp(bytes, method.data(), method.size()) == 0) {
            return true;
        }
    }
    return false;
}
