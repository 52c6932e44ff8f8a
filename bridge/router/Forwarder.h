// One accepted loopback connection handed to the bridge of the uid that owns its peer socket.
// Every step is non-blocking, so one user's bridge can never hold up another user's call.
#pragma once

#include "bridge/router/Journal.h"
#include "bridge/router/Registrations.h"
#include "platform/UniqueFd.h"

namespace bridge::router {

// Passes `tcp` to its owner's bridge and closes it here either way; a refusal goes to `journal`.
// A registration that no longer leads to its user's listening socket is dropped.
void forwardConnection(platform::UniqueFd tcp, Registrations& registrations, Journal& journal);

} // namespace bridge::router
