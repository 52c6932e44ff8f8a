// Frames between the bridge and a worker: a 4-byte big-endian length, then that many bytes of
// UTF-8 JSON, at most kMaxFrameBytes.
//
// Writes never raise SIGPIPE: a socket is written with MSG_NOSIGNAL, a pipe with SIGPIPE blocked
// for the calling thread and a signal it raised taken back, so a closed peer is a false return
// whatever the process does with the signal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bridge::ipc {

inline constexpr std::size_t kMaxFrameBytes = 4u << 20;

// The whole frame, or false (the peer closed, an error, or json longer than the bound).
bool writeFrame(int fd, std::string_view json);

enum class FrameRead {
    ok,
    closed,   // end of stream before a frame began
    timeout,  // timeoutMs passed first; the stream may be part way through a frame
    malformed // a length over the bound (refused before anything is allocated), a stream that
              // ends inside a frame, or a read error; the stream cannot be trusted afterwards
};

// One frame's payload into json. timeoutMs bounds the whole frame; below 0 it waits for ever.
FrameRead readFrame(int fd, std::string& json, int timeoutMs);

} // namespace bridge::ipc
