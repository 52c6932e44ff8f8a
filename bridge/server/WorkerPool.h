// One worker process per origin, at most a fixed number of them. An origin's calls run one at
// a time in the order they arrived (a ticket queue); the worker is ended when it overruns its
// budget, when it has been idle too long, or to make room for another origin.
//
// Gated members: a worker is told at start which members to ask about; before it runs one,
// whatever spelling the page used to reach its DISPID, it sends {"event":"gate","member":NAME}
// and waits for {"gate":true|false}. At most one gate per call; any other is a worker not trusted.
//
// Token logins: a worker announces a login with {"event":"login","ageMs":N}. The pool ends it
// ({"op":"logout"}) once it is loginLifetime old, before the next call or when idle, and when
// the worker ends; no call renews it.
#pragma once

#include "bridge/policy/Request.h"
#include "bridge/server/Answer.h"
#include "bridge/server/WorkerProcess.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bridge::server {

struct PoolSettings {
    std::string workerPath;
    int codePage = 1252;
    std::chrono::milliseconds idle{1800 * 1000};
    std::chrono::milliseconds callBudget{30 * 1000};
    // A wait for the user lasting longer than this is a hung worker.
    std::chrono::milliseconds waitLimit{330 * 1000};
    // How long an ended worker has after its stdin closed before it is killed.
    std::chrono::milliseconds endGrace{2000};
    int maxWorkers = 8;
    int maxQueuedCalls = 16;
    // How long a worker's token login lasts from the PIN entry; no call renews it. Zero: the
    // login ends with the call that made it.
    std::chrono::milliseconds loginLifetime{300 * 1000};
    // How long a worker has to log out before it is killed instead.
    std::chrono::milliseconds logoutLimit{5000};
    // The members a worker asks about before it runs them, by their type-information names.
    std::vector<std::string> gatedMembers{"DecryByPrikey"};
    std::function<void(const std::string&)> log;
};

// Answers a worker about to run the gated `member` (one of gatedMembers), in the origin's turn:
// true lets it run; false, and the worker answers "FALSE" without running it.
// `confirmedInWorker` is a flag kept per worker, false in a fresh one.
using CallGate = std::function<bool(const std::string& member, bool& confirmedInWorker)>;

class WorkerPool {
public:
    explicit WorkerPool(PoolSettings settings);
    ~WorkerPool(); // ends every worker
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    Answer create(const std::string& origin, const std::string& progId);
    // A worker that asks about a gated member when `gate` is empty is not trusted.
    Answer call(const std::string& origin, const policy::Request& request, const CallGate& gate);

    // Refuses new calls, wakes the waiting ones and kills workers in a call, so that every
    // thread in the pool returns soon. The destructor then ends the rest.
    void beginShutdown();

private:
    struct Worker;
    struct Slot;
    struct Exchange;

    Slot* enter(const std::string& origin, std::unique_lock<std::mutex>& lock, Answer& refusal);
    void leave(const std::string& origin, Slot* slot, Worker* worker);
    bool makeRoom(const std::string& forOrigin);
    void retire(const std::string& origin, Slot& slot, const char* why);
    Exchange exchange(Worker& worker, const std::string& request, const CallGate* gate,
                      std::chrono::milliseconds budget);
    Exchange run(const std::string& origin, Worker& worker, const std::string& request, const CallGate* gate);
    bool endLogin(const std::string& origin, Worker& worker, Exchange& failure, const char* why);
    bool loginExpired(const Worker& worker, std::chrono::steady_clock::time_point now) const;
    void expireIdleLogins(std::unique_lock<std::mutex>& lock);
    Answer conclude(const std::string& origin, Slot* slot, Worker& worker, const Exchange& result,
                    bool create);
    void janitor();
    void log(const std::string& line) const;

    PoolSettings settings_;
    std::mutex mutex_;
    std::condition_variable janitorWake_;
    bool stopping_ = false;
    std::uint64_t nextSerial_ = 1;
    std::map<std::string, std::unique_ptr<Slot>> slots_;
    struct Retiring {
        std::unique_ptr<WorkerProcess> process;
        std::chrono::steady_clock::time_point since;
    };
    std::vector<Retiring> retiring_;
    std::thread janitor_;
};

} // namespace bridge::server
