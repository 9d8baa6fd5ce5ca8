#include "platform/text.h"

#include <windows.h>

#include <cstdio>
#include <ostream>
#include <streambuf>
#include <vector>

namespace platform {

namespace {

// Writes straight through to the C library's stdout, which buffers as it does for the
// rest of the process.
class StandardOutputBuffer : public std::streambuf {
protected:
    int_type overflow(int_type character) override
    {
        if (traits_type::eq_int_type(character, traits_type::eof())) {
            return traits_type::not_eof(character);
        }
        return std::fputc(character, stdout) == EOF ? traits_type::eof() : character;
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override
    {
        return static_cast<std::streamsize>(std::fwrite(text, 1, static_cast<std::size_t>(count), stdout));
    }
};

// Made when the library is loaded: a function-local static would cost a handle per load
// (its first use is guarded by a lock of the runtime whose handle is never closed).
StandardOutputBuffer g_standardOutputBuffer;
std::ostream g_standardOutput(&g_standardOutputBuffer);

}  // namespace

std::ostream& standardOutput()
{
    return g_standardOutput;
}

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
