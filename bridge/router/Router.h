// The router's event loop: one thread, one epoll set, every socket non-blocking.
#pragma once

#include "bridge/router/Handovers.h"
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
    // A user registers at login and when its bridge starts; more than a few at once is a flood,
    // which then pushes out its own connections only.
    std::size_t maxWaitingRegistrationsPerUid = 4;
    std::chrono::milliseconds registrationPatience{2000};
    // A page makes a few calls at once (a browser opens six connections to a host); a bridge
    // started by the first of them takes them all within a second or two. More than this many
    // not yet taken means the bridge does not read: its user's further calls are closed at once.
    std::size_t handoversPerUid = 64;
    // All uids together; bounds the descriptors the router holds and those in flight.
    std::size_t maxHandovers = 4096;
    // Long enough for a bridge to be started by its socket, short enough for the page.
    std::chrono::milliseconds handoverPatience{5000};
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
    bool watch(int fd, std::uint64_t tag, std::uint32_t events);

    Listeners listeners_;
    Journal& journal_;
    Registrations registrations_;
    Registrar registrar_;
    Handovers handovers_;
    platform::UniqueFd epoll_;
    platform::UniqueFd signals_;
    platform::UniqueFd spare_;
};

} // namespace bridge::router
