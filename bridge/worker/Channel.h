// The worker's frame channel. Frames travel on private descriptors duplicated from stdin and
// stdout; fd 0 then reads /dev/null and fd 1 writes to stderr, so a module that reads its input
// or prints cannot take or corrupt a frame. Neither private descriptor is inherited by the
// programs a module starts (the pinentry).
#pragma once

#include <string>

namespace bridge::worker {

struct Channel {
    int in = -1;
    int out = -1;
};

// False (with the reason) when the descriptors cannot be set up.
bool takeStandardStreams(Channel& channel, std::string& error);

// Waits for the user, as they begin and end, sent as event frames on the channel's output at
// once. Installed once, before any module runs.
void announceUserWaits(const Channel& channel);

// A frame on the channel's output, one writer at a time.
bool sendFrame(const Channel& channel, const std::string& json);

// An event frame on the channel of takeStandardStreams; false without one or when it failed.
bool sendEvent(const std::string& json);

// Asks the bridge whether a gated member may run: {"event":"gate","member":NAME}, then waits for
// its {"gate":true|false}. False also when the bridge is gone or answered anything else.
bool askGate(const std::string& member);

} // namespace bridge::worker
