// Registrations kept by systemd across a restart of the router (its file descriptor store), so
// that a package upgrade does not cut off users whose bridges are idle: their sockets register
// only at login. Without NOTIFY_SOCKET (tests, runs by hand) nothing is kept.
#pragma once

#include "platform/UniqueFd.h"

#include <sys/types.h>

#include <string>

namespace bridge::router {

class FdStore {
public:
    // Takes NOTIFY_SOCKET from the environment (and removes it there).
    FdStore();

    bool enabled() const { return socket_.get() >= 0; }
    // Replaces what is kept for `uid` with `fd`.
    void keep(uid_t uid, int fd);
    void forget(uid_t uid);

    // "uid-1000" for uid 1000, and back; nullopt-like false for any other name.
    static std::string nameFor(uid_t uid);
    static bool uidFromName(const std::string& name, uid_t& uid);

private:
    bool send(const std::string& text, int fd);

    platform::UniqueFd socket_;
    std::string address_;
};

} // namespace bridge::router
