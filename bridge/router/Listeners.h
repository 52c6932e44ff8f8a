// The router's listening sockets: loopback TCP for pages, a unix socket for registrations.
// Under systemd they come from the socket unit (LISTEN_FDS); tests and hand runs bind them from
// options.
#pragma once

#include "platform/UniqueFd.h"

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace bridge::router {

struct Listeners {
    std::vector<platform::UniqueFd> tcp;
    std::vector<platform::UniqueFd> registration;
    // Registrations systemd kept across a restart (named "uid-N" in LISTEN_FDNAMES), unchecked.
    std::vector<std::pair<uid_t, platform::UniqueFd>> stored;
};

// The descriptors systemd passed (LISTEN_FDS / LISTEN_PID for this process), sorted by
// getsockname: AF_INET and AF_INET6 to `tcp`, AF_UNIX to `registration`. Each must be a
// listening stream socket, except the registrations systemd kept for the router, which go to
// `stored`. Returns false with `error` set on anything else; `found` is false
// when systemd passed nothing. The LISTEN_ variables are removed either way.
bool takeSystemdListeners(Listeners& out, bool& found, std::string& error);

// Binds and listens on "ADDRESS:PORT" ("127.0.0.1:28561", "[::1]:28561"; port 0 picks one).
platform::UniqueFd listenTcp(const std::string& spec, std::string& error);
// Binds and listens on a unix socket at `path`, which everyone may connect to (mode 0666).
platform::UniqueFd listenUnix(const std::string& path, std::string& error);

// "127.0.0.1:43122", "[::1]:43122" or the socket's path, for the start-up lines.
std::string describeListener(int fd);

} // namespace bridge::router
