// The router's event loop: one thread, one epoll set, every socket non-blocking.
#pragma once

#include "bridge/router/Journal.h"
#include "bridge/router/Listeners.h"
#include "bridge/router/Registrar.h"
#include "bridge/router/Registrations.h"

#include <chrono>
#include <cstddef>

namespace bridge::router {

struct RouterLimits {
    std::size_t maxRegistrations = 65536;
    std::size_t maxWaitingRegistrations = 128;
    std::chrono::milliseconds registrationPatience{2000};
};

class Router {
public:
    // Takes back the registrations systemd kept in `store` that still hold.
    Router(Listeners listeners, const RouterLimits& limits, Journal& journal, FdStore& store);

    // Serves until SIGTERM or SIGINT (which the caller has blocked); returns the exit status.
    int run();

private:
    void acceptTcp(int listener);
    void acceptRegistrations(int listener);
    // accept4, or -1 when there is nothing to take. Out of descriptors, the spare one makes room
    // to take the connection off the queue and close it, so the loop does not spin on it.
    int acceptOne(int listener);
    bool watch(int fd, std::uint64_t tag);

    Listeners listeners_;
    Journal& journal_;
    Registrations registrations_;
    Registrar registrar_;
    platform::UniqueFd epoll_;
    platform::UniqueFd signals_;
    platform::UniqueFd spare_;
};

} // namespace bridge::router
