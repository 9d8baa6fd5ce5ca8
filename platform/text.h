#pragma once
// Text: conversion of the platform's wide-character text to UTF-8, and the process's
// standard output for the plug-in's diagnostics.

#include <iosfwd>
#include <string>

namespace platform {

// The UTF-8 form of `text` (UTF-16 on Windows, UTF-32 elsewhere). Characters that are not
// valid code points become U+FFFD, as the Windows conversion does without flags. Empty
// when the conversion itself fails.
std::string toUtf8(const wchar_t* text);

// The process's standard output, unflushed. On POSIX it is std::cout. The Windows library
// carries its own C++ runtime, whose std::cout flushes std::cerr when the library is
// unloaded, and that flush takes a thread-local-storage index that is never given back;
// there it is a stream of its own that writes through the C library's stdout.
std::ostream& standardOutput();

}  // namespace platform
