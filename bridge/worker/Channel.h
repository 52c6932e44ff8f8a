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

} // namespace bridge::worker
