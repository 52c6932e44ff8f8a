#include "bridge/server/http/CallThreads.h"

namespace bridge::server::http {

CallThreads::CallThreads(std::size_t cap) : cap_(cap) {}

CallThreads::~CallThreads() {
    stop();
}

bool CallThreads::run(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    if (stopping_ || busy_ >= cap_)
        return false;
    ++busy_;
    jobs_.push_back(std::move(job));
    if (idle_ >= jobs_.size())
        wake_.notify_one();
    else
        threads_.emplace_back([this] { serve(); });
    return true;
}

void CallThreads::serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        --idle_;
        if (jobs_.empty())
            return; // stopping, nothing left
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        job = nullptr; // what it holds goes before the count says it ended
        lock.lock();
        --busy_;
    }
}

void CallThreads::stop() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
    }
    wake_.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

} // namespace bridge::server::http
