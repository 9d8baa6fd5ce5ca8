#pragma once
// Telling a web browser from a display program on the display port.
//
// The port answers any peer, and a page in the user's browser may open a connection to
// 127.0.0.1:12132 and send an HTTP request. Its body would arrive in a later receive and be
// taken as commands (kick, ban, disconnect). A display program's first request begins with a
// command byte, never with a method name, so a connection whose first receive begins like an
// HTTP request is closed unanswered and nothing received on it is acted on.

#include <cstddef>
#include <cstdint>

// Whether `bytes` begin with an HTTP method token (GET, POST, PUT, HEAD, OPTIONS, DELETE,
// PATCH, CONNECT, TRACE) followed by a space. Methods are compared as the browser sends them,
// in capitals; a method other than GET, HEAD and POST from a page on another origin is always
// preceded by an OPTIONS request, which is caught.
bool looksLikeHttpRequest(const std::uint8_t* bytes, std::size_t count);
