// korvan-bridge-worker: hosts one origin's controls for the bridge. Requests arrive as frames on
// stdin, one at a time; each gets exactly one reply frame on stdout, after any wait events. The
// worker ends when stdin closes.
#include "bridge/ipc/Frames.h"
#include "bridge/worker/Channel.h"
#include "bridge/worker/Confinement.h"
#include "bridge/worker/Requests.h"

#include <objbase.h>
#include <windows.h>

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool unset(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr || *value == '\0';
}

} // namespace

int main(int argc, char** argv) {
    // A bridge that went away shows as a failed write, not a killed worker.
    std::signal(SIGPIPE, SIG_IGN);
    bridge::worker::Channel channel;
    std::string error;
    if (!bridge::worker::takeStandardStreams(channel, error)) {
        std::fprintf(stderr, "korvan-bridge-worker: %s\n", error.c_str());
        return 1;
    }
    // The controls' dialogs are Qt widgets; with no display they still have a platform to run on.
    if (unset("DISPLAY") && unset("WAYLAND_DISPLAY") && unset("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    CoInitialize(nullptr);
    bridge::worker::announceUserWaits(channel);
    const char* origin = std::getenv("KORVAN_CALLER_ORIGIN");
    std::fprintf(stderr, "korvan-bridge-worker: serving %s, code page %u\n", origin != nullptr ? origin : "(no origin)",
                 static_cast<unsigned>(GetACP()));
    // Nothing from the page has been read yet; from here on a worker taken over stays fenced in.
    if (!bridge::worker::confine(error)) {
        std::fprintf(stderr, "korvan-bridge-worker: will not serve unconfined: %s\n", error.c_str());
        return 4;
    }

    int status = 0;
    {
        bridge::worker::Controls controls;
        std::string request;
        for (;;) {
            const bridge::ipc::FrameRead read = bridge::ipc::readFrame(channel.in, request, -1);
            if (read == bridge::ipc::FrameRead::closed)
                break;
            if (read != bridge::ipc::FrameRead::ok) {
                // The stream is out of step; nothing after this could be read as a frame.
                std::fprintf(stderr, "korvan-bridge-worker: malformed request frame, ending\n");
                status = 2;
                break;
            }
            if (!bridge::worker::sendFrame(channel, bridge::worker::answer(controls, request))) {
                std::fprintf(stderr, "korvan-bridge-worker: the bridge is gone, ending\n");
                status = 3;
                break;
            }
        }
    } // the controls are released before COM ends
    CoUninitialize();
    return status;
}
