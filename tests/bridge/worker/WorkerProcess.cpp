#include "WorkerProcess.h"

#include "bridge/ipc/Frames.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace worker_test {

namespace {
constexpr int kReplyTimeoutMs = 60000;
}

WorkerProcess::WorkerProcess(const std::vector<std::pair<std::string, std::string>>& extraEnvironment,
                             const std::vector<std::string>& removed) {
    char pattern[] = "/tmp/bridge-worker-log-XXXXXX";
    const int logFd = mkstemp(pattern);
    if (logFd < 0)
        return;
    logPath_ = pattern;
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool overridden = false;
        for (const auto& [name, value] : extraEnvironment)
            overridden = overridden || entry.compare(0, name.size() + 1, name + "=") == 0;
        for (const std::string& name : removed)
            overridden = overridden || entry.compare(0, name.size() + 1, name + "=") == 0;
        if (!overridden)
            environment.push_back(entry);
    }
    for (const auto& [name, value] : extraEnvironment)
        environment.push_back(std::string(name).append("=").append(value));
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    char program[] = BRIDGE_WORKER_PATH;
    char* argv[] = {program, nullptr};

    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(logFd, 2);
        execve(program, argv, envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(logFd);
    toWorker_ = in[1];
    fromWorker_ = out[0];
}

WorkerProcess::~WorkerProcess() {
    if (pid_ > 0)
        finish();
    if (pid_ > 0) { // still running: finish() leaves pid_ set only then
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (fromWorker_ >= 0)
        close(fromWorker_);
    if (!logPath_.empty())
        unlink(logPath_.c_str());
}

bool WorkerProcess::sendRaw(const std::string& bytes) {
    return toWorker_ >= 0 && ::write(toWorker_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

nlohmann::json WorkerProcess::requestText(const std::string& text) {
    events_.clear();
    if (!bridge::ipc::writeFrame(toWorker_, text))
        return {{"transport", "write failed"}};
    for (int frames = 0; frames < 1000; ++frames) {
        std::string received;
        const bridge::ipc::FrameRead read = bridge::ipc::readFrame(fromWorker_, received, kReplyTimeoutMs);
        if (read != bridge::ipc::FrameRead::ok)
            return {{"transport", "no reply"}};
        nlohmann::json frame = nlohmann::json::parse(received, nullptr, false);
        if (frame.is_discarded())
            return {{"transport", "not JSON"}};
        if (!frame.contains("event"))
            return frame;
        events_.push_back(std::move(frame));
    }
    return {{"transport", "endless events"}};
}

nlohmann::json WorkerProcess::create(const std::string& progId) {
    return request({{"op", "create"}, {"progId", progId}});
}

nlohmann::json WorkerProcess::call(long long object, const std::string& member, const nlohmann::json& args) {
    return request({{"op", "call"}, {"object", object}, {"member", member}, {"args", args}});
}

int WorkerProcess::finish() {
    if (toWorker_ >= 0) {
        close(toWorker_);
        toWorker_ = -1;
    }
    if (pid_ <= 0)
        return -1;
    for (int tries = 0; tries < 3000; ++tries) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::string WorkerProcess::log() const {
    std::ifstream in(logPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace worker_test
