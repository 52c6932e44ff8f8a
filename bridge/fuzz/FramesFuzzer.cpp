// Fuzzed bytes as what a worker (or the bridge) writes on its channel, read back frame by frame
// through a socket pair or a pipe. Every frame read must be exactly the bytes that were sent, the
// end of the stream must come only after the last whole frame, and anything else must be
// refused as malformed, never read past.
#include "bridge/ipc/Frames.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "bridge_fuzz_frames: %s\n", what);
        std::abort();
    }
}

struct Channel {
    int read = -1;
    int write = -1;
    ~Channel() {
        if (read >= 0)
            ::close(read);
        if (write >= 0)
            ::close(write);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the channel: the reader takes another path for a pipe.
    const bool pipe = data[0] & 1;
    const uint8_t* stream = data + 1;
    const std::size_t length = size - 1;

    Channel channel;
    int fds[2];
    if (pipe ? ::pipe(fds) != 0 : ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    channel.read = fds[0];
    channel.write = fds[1];
    // Inputs stay far below the channel's buffer (run-fuzz.sh's max_len), so one write ends it.
    if (length > 0 && ::write(channel.write, stream, length) != static_cast<ssize_t>(length))
        return 0;
    ::close(channel.write);
    channel.write = -1;

    std::size_t offset = 0;
    std::string json;
    for (int frames = 0; frames <= 1 + static_cast<int>(length) / 4; ++frames) {
        const bridge::ipc::FrameRead result = bridge::ipc::readFrame(channel.read, json, 5000);
        const std::size_t left = length - offset;
        switch (result) {
        case bridge::ipc::FrameRead::ok: {
            check(left >= 4 + json.size(), "a frame longer than what was sent");
            const uint32_t declared =
                (uint32_t{stream[offset]} << 24) | (uint32_t{stream[offset + 1]} << 16) |
                (uint32_t{stream[offset + 2]} << 8) | uint32_t{stream[offset + 3]};
            check(declared == json.size(), "a frame of another length than declared");
            check(json.size() <= bridge::ipc::kMaxFrameBytes, "a frame over the bound");
            check(std::memcmp(json.data(), stream + offset + 4, json.size()) == 0,
                  "a frame that differs from what was sent");
            offset += 4 + json.size();
            continue;
        }
        case bridge::ipc::FrameRead::closed:
            check(left == 0, "the end reported before the last bytes");
            return 0;
        case bridge::ipc::FrameRead::malformed:
            check(left > 0, "a malformed frame where nothing was left");
            return 0;
        case bridge::ipc::FrameRead::timeout:
            check(false, "a timeout on a stream that had ended");
        }
    }
    check(false, "more frames than the stream can hold");
    return 0;
}
