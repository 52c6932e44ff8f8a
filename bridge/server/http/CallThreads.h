// Threads for the answers that block (a call waits for its worker, a dialog, a queue): one per
// call in flight, kept for the next one, up to a cap, so the event thread never waits.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace bridge::server::http {

class CallThreads {
public:
    explicit CallThreads(std::size_t cap);
    ~CallThreads(); // stop()
    CallThreads(const CallThreads&) = delete;
    CallThreads& operator=(const CallThreads&) = delete;

    // False when `cap` jobs are running already, or after stop().
    bool run(std::function<void()> job);
    // Takes no more jobs; waits for the running ones to end.
    void stop();

private:
    void serve();

    const std::size_t cap_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t busy_ = 0; // jobs queued or running
    std::size_t idle_ = 0; // threads waiting for a job
    bool stopping_ = false;
};

} // namespace bridge::server::http
