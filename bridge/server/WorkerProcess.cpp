#include "bridge/server/WorkerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace bridge::server {

namespace {

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

// One direction of the conversation. A socket rather than a pipe: writes take MSG_NOSIGNAL
// instead of a signal-mask dance, and a frame that is already there is read without a poll.
bool makeChannel(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

std::string systemError(const char* what, int code) {
    return std::string(what).append(": ").append(std::strerror(code));
}

} // namespace

std::unique_ptr<WorkerProcess> WorkerProcess::start(const std::string& path,
                                                    const std::vector<std::string>& environment,
                                                    std::string& error) {
    UniqueFd childInput, input, output, childOutput;
    if (!makeChannel(childInput, input) || !makeChannel(output, childOutput)) {
        error = systemError("cannot create the worker's channels", errno);
        return nullptr;
    }

    SpawnActions actions;
    posix_spawn_file_actions_adddup2(&actions.actions, childInput.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions.actions, childOutput.get(), STDOUT_FILENO);
    // The HTTP library's sockets are not close-on-exec; a worker holding them would keep
    // connections and the listening port alive.
    posix_spawn_file_actions_addclosefrom_np(&actions.actions, STDERR_FILENO + 1);

    SpawnAttributes attributes;
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes.attributes, &signals);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes.attributes, &signals);
    posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv{const_cast<char*>(path.c_str()), nullptr};
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (const std::string& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int result =
        posix_spawn(&pid, path.c_str(), &actions.actions, &attributes.attributes, argv.data(), envp.data());
    if (result != 0) {
        error = systemError(("cannot start " + path).c_str(), result);
        return nullptr;
    }
    return std::unique_ptr<WorkerProcess>(new WorkerProcess(pid, std::move(input), std::move(output)));
}

WorkerProcess::WorkerProcess(pid_t pid, UniqueFd input, UniqueFd output)
    : pid_(pid), input_(std::move(input)), output_(std::move(output)) {}

WorkerProcess::~WorkerProcess() {
    closeInput();
    if (!waitExit(std::chrono::milliseconds(200)))
        kill();
}

bool WorkerProcess::send(std::string_view json) {
    return input_.get() >= 0 && ipc::writeFrame(input_.get(), json);
}

ipc::FrameRead WorkerProcess::receive(std::string& json, int timeoutMs) {
    return ipc::readFrame(output_.get(), json, timeoutMs);
}

void WorkerProcess::closeInput() {
    input_.reset();
}

bool WorkerProcess::waitExit(std::chrono::milliseconds grace) {
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (!reaped_) {
        int status = 0;
        const pid_t result = ::waitpid(pid_, &status, WNOHANG);
        if (result == pid_ || (result < 0 && errno == ECHILD)) {
            reaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void WorkerProcess::kill() {
    if (reaped_)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    output_.reset();
}

void WorkerProcess::interrupt() {
    if (!reaped_)
        ::kill(pid_, SIGKILL);
}

} // namespace bridge::server
