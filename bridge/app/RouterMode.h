// The bridge behind the machine's router: its unix socket (passed by systemd, or made here for
// a run by hand) and its registration with the router.
#pragma once

#include "platform/UniqueFd.h"

#include <string>

namespace bridge::app {

// The listening unix socket systemd passed (LISTEN_PID is this process, LISTEN_FDS is 1).
// Not given: an empty descriptor and no error. Given but unusable (several sockets, or not a
// listening AF_UNIX stream socket): an empty descriptor and `error`. The socket is marked
// close-on-exec, so no worker inherits it; the caller unsets the variables.
platform::UniqueFd socketFromSystemd(const char* listenPid, const char* listenFds, std::string& error);

// A listening unix socket made at `path` (mode 0666: its folder keeps others out), removed
// again when this goes. Refuses a path that exists.
class UnixSocketFile {
public:
    bool open(const std::string& path, std::string& error);
    ~UnixSocketFile();
    UnixSocketFile() = default;
    UnixSocketFile(const UnixSocketFile&) = delete;
    UnixSocketFile& operator=(const UnixSocketFile&) = delete;
    platform::UniqueFd take() { return std::move(fd_); }

private:
    platform::UniqueFd fd_;
    std::string path_;
};

// The path a listening unix socket is bound to; empty for an abstract or unnamed one.
std::string boundPath(int fd);

// Gives the router at `routerPath` an O_PATH descriptor of the socket file at `socketPath`, so
// that it hands this user's connections there. Never connects to that socket, so never starts
// a bridge. False with `error` (one line) when the router is absent, refuses, or does not answer
// within two seconds.
bool registerWithRouter(const std::string& routerPath, const std::string& socketPath, std::string& error);

} // namespace bridge::app
