// One worker program, started with its stdin and stdout as local sockets to the bridge, one
// per direction. The object owns both and the child: destroying it closes them, and a child
// that has not exited within the grace period is killed, so no process or zombie outlives it.
#pragma once

#include "platform/UniqueFd.h"

#include "bridge/ipc/Frames.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bridge::server {

using UniqueFd = platform::UniqueFd;

class WorkerProcess {
public:
    // Starts `path` with exactly `environment` ("NAME=value" entries), no arguments but its
    // name, stdin and stdout as local sockets, stderr shared with the bridge, no other descriptor
    // and the default SIGPIPE action. Nullptr and `error` set when it cannot be started.
    static std::unique_ptr<WorkerProcess> start(const std::string& path,
                                                const std::vector<std::string>& environment,
                                                std::string& error);
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    pid_t pid() const { return pid_; }

    bool send(std::string_view json);
    ipc::FrameRead receive(std::string& json, int timeoutMs);

    // Closes stdin, the worker's sign to end.
    void closeInput();
    // True once the child has exited and been reaped; waits at most `grace` for it.
    bool waitExit(std::chrono::milliseconds grace);
    // SIGKILL and reap.
    void kill();
    // SIGKILL only, for another thread that may be reading the worker; that thread sees the
    // stream close and reaps.
    void interrupt();

private:
    WorkerProcess(pid_t pid, UniqueFd input, UniqueFd output);

    pid_t pid_ = -1;
    std::atomic<bool> reaped_{false};
    UniqueFd input_;  // the worker's stdin
    UniqueFd output_; // the worker's stdout
};

} // namespace bridge::server
