#include "platform/text.h"

#include <windows.h>

#include <vector>

namespace platform {

std::string toUtf8(const wchar_t* text)
{
    // A length of -1 converts the terminating zero too; the sizes below include it.
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(size));
    if (::WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer.data(), size, nullptr, nullptr) == 0) {
        return {};
    }
    return std::string(buffer.data());
}

}  // namespace platform
