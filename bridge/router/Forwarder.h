// One accepted loopback connection handed to the bridge of the uid that owns its peer socket.
// Every step is non-blocking, so one user's bridge can never hold up another user's call.
#pragma once

#include "bridge/router/Handovers.h"
#include "bridge/router/Journal.h"
#include "bridge/router/Registrations.h"
#include "platform/UniqueFd.h"

#include <optional>

namespace bridge::router {

struct Passed {
    uid_t uid;
    platform::UniqueFd bridge; // the router's end of the unix connection the message went on
    platform::UniqueFd tcp;
};

// Passes `tcp` to its owner's bridge, unless that uid or the router has no room in `handovers`.
// A refusal closes `tcp` and goes to `journal`; a registration that no longer leads to its
// user's listening socket is dropped. Returns both ends of a hand-over that was sent, for
// `handovers` to keep until the bridge has taken it.
std::optional<Passed> forwardConnection(platform::UniqueFd tcp, Registrations& registrations,
                                        const Handovers& handovers, Journal& journal);

} // namespace bridge::router
