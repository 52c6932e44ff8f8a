// Registering connections on the router's unix socket. A user sends one byte 'R' with one
// O_PATH descriptor of its bridge socket; the uid is the connection's SO_PEERCRED, never
// anything the user says. The answer is 'K' or 'E', then the connection is closed.
#pragma once

#include "bridge/router/Journal.h"
#include "bridge/router/Registrations.h"
#include "platform/UniqueFd.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <vector>

namespace bridge::router {

class Registrar {
public:
    using Clock = std::chrono::steady_clock;

    // At most `maxPending` connections wait for their message at once, `maxPendingPerUid` of
    // one uid, each for `patience`.
    Registrar(Registrations& registrations, Journal& journal, std::size_t maxPending,
              std::size_t maxPendingPerUid, Clock::duration patience);

    // A connection just accepted. Its message is usually there already and is handled at once;
    // otherwise it waits. When its uid has all its places taken, that uid's oldest waiting
    // connection makes room, so that a uid's flood pushes out no other uid; when all places are
    // taken, the oldest of all.
    // Returns the descriptor to watch for input, or -1 when the connection is done.
    int accepted(platform::UniqueFd connection, Clock::time_point now);
    // The waiting connection `fd` has input (or hung up).
    void readable(int fd);
    // Closes the connections whose time is up; the time left until the next one is due.
    Clock::duration expire(Clock::time_point now);
    std::size_t pending() const { return pending_.size(); }

private:
    struct Pending {
        platform::UniqueFd connection;
        uid_t uid;
        Clock::time_point deadline;
    };
    // true when the connection is done (answered or gone), false to keep waiting.
    bool tryRead(int fd, uid_t uid);

    Registrations& registrations_;
    Journal& journal_;
    std::size_t maxPending_;
    std::size_t maxPendingPerUid_;
    Clock::duration patience_;
    std::vector<Pending> pending_; // oldest first
};

} // namespace bridge::router
