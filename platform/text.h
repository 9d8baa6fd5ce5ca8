#pragma once
// Conversion of the platform's wide-character text to UTF-8.

#include <string>

namespace platform {

// The UTF-8 form of `text` (UTF-16 on Windows, UTF-32 elsewhere). Characters that are not
// valid code points become U+FFFD, as the Windows conversion does without flags. Empty
// when the conversion itself fails.
std::string toUtf8(const wchar_t* text);

}  // namespace platform
