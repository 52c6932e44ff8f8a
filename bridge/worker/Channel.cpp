#include "bridge/worker/Channel.h"

#include "bridge/ipc/Frames.h"
#include "bridge/ipc/Values.h"

#include "platform/win/UserWait.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace bridge::worker {

namespace {

std::mutex writing;
std::atomic<int> eventFd{-1};
std::atomic<int> requestFd{-1};
std::atomic<int> replyFd{-1};

void onUserWait(int begins) {
    const int fd = eventFd.load();
    if (fd < 0)
        return;
    const std::lock_guard<std::mutex> lock(writing);
    ipc::writeFrame(fd, begins != 0 ? R"({"event":"wait","begins":true})" : R"({"event":"wait","begins":false})");
}

} // namespace

bool takeStandardStreams(Channel& channel, std::string& error) {
    channel.in = fcntl(0, F_DUPFD_CLOEXEC, 3);
    channel.out = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (channel.in < 0 || channel.out < 0) {
        error = std::string("cannot duplicate the standard streams: ").append(std::strerror(errno));
        return false;
    }
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, 0) < 0 || dup2(2, 1) < 0) {
        error = std::string("cannot redirect the standard streams: ").append(std::strerror(errno));
        return false;
    }
    close(null);
    requestFd.store(channel.in);
    replyFd.store(channel.out);
    return true;
}

void announceUserWaits(const Channel& channel) {
    eventFd.store(channel.out);
    korvanSetUserWaitObserver(onUserWait);
}

bool sendFrame(const Channel& channel, const std::string& json) {
    const std::lock_guard<std::mutex> lock(writing);
    return ipc::writeFrame(channel.out, json);
}

bool sendEvent(const std::string& json) {
    const int fd = replyFd.load();
    if (fd < 0)
        return false;
    const std::lock_guard<std::mutex> lock(writing);
    return ipc::writeFrame(fd, json);
}

bool askGate(const std::string& member) {
    const int in = requestFd.load();
    if (in < 0 || !sendEvent(ipc::dumpMessage({{"event", "gate"}, {"member", member}})))
        return false;
    // The bridge answers at once or after asking the user; its own limits bound the wait.
    std::string frame;
    if (ipc::readFrame(in, frame, -1) != ipc::FrameRead::ok)
        return false;
    const nlohmann::json reply = nlohmann::json::parse(frame, nullptr, false);
    if (!reply.is_object())
        return false;
    const auto allowed = reply.find("gate");
    return allowed != reply.end() && allowed->is_boolean() && allowed->get<bool>();
}

} // namespace bridge::worker
