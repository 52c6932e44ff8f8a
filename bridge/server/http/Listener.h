// The bridge's listening sockets: 127.0.0.1 and, where the machine has it, ::1, on one port.
#pragma once

#include "bridge/server/WorkerProcess.h" // UniqueFd

#include <functional>
#include <string>

namespace bridge::server::http {

struct LoopbackSockets {
    UniqueFd v4;
    UniqueFd v6; // -1 on a machine without ::1
    int port = 0;
};

// Binds and listens on both addresses at `port` (0: one free on both). A port held on either
// address is refused, naming its holder when it can be found, and leaves nothing bound.
bool listenOnLoopback(int port, LoopbackSockets& sockets, std::string& error,
                      const std::function<void(const std::string&)>& log);

} // namespace bridge::server::http
