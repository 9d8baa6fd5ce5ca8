#pragma once
// Who may talk to g19-hostsim's web console. It listens on the loopback interface only, but a
// page from anywhere, open in the same browser, can still send it requests: through a name of
// its own that it points at 127.0.0.1 (DNS rebinding), which the Host header gives away, or
// straight from its own origin, which the Origin header gives away.

#include <string_view>

namespace console {

// localhost, 127.0.0.1 or [::1], with or without a port; letter case does not count.
bool isLoopbackHost(std::string_view host);

// A request that changes the model must come from the console's own page: its Origin, or its
// Referer when it has no Origin, is http:// followed by `host`. A request with neither, which
// no browser sends for these methods, comes from a program such as curl and is let through.
bool isOwnOrigin(std::string_view host, std::string_view origin, bool hasOrigin, std::string_view referer,
                 bool hasReferer);

// GET and HEAD; every other method may change something and is checked for its origin.
bool onlyReads(std::string_view method);

}  // namespace console
