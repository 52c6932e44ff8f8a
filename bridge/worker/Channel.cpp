#include "bridge/worker/Channel.h"

#include "bridge/ipc/Frames.h"

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

} // namespace bridge::worker
