// korvan-bridge-worker run as the bridge runs it: a child process with pipes for stdin and stdout,
// its stderr kept in a file for the log lines.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace worker_test {

class WorkerProcess {
public:
    // The test's environment plus the given variables, without the removed ones.
    explicit WorkerProcess(const std::vector<std::pair<std::string, std::string>>& extraEnvironment = {},
                           const std::vector<std::string>& removed = {});
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // Sends one request and returns its reply; the events sent before it land in events().
    // An object {"transport": "..."} when no reply came within the time allowed.
    nlohmann::json request(const nlohmann::json& message) { return requestText(message.dump()); }
    // The same for a frame of any text.
    nlohmann::json requestText(const std::string& text);
    // Writes raw bytes on the worker's stdin.
    bool sendRaw(const std::string& bytes);
    const std::vector<nlohmann::json>& events() const { return events_; }

    nlohmann::json create(const std::string& progId);
    nlohmann::json call(long long object, const std::string& member, const nlohmann::json& args = nlohmann::json::array());

    // Closes stdin and returns the exit status (-1 when it did not exit normally in time).
    int finish();
    // What the worker wrote to stderr so far.
    std::string log() const;

private:
    pid_t pid_ = -1;
    int toWorker_ = -1;
    int fromWorker_ = -1;
    std::string logPath_;
    std::vector<nlohmann::json> events_;
};

} // namespace worker_test
