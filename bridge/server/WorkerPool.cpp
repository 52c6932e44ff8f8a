#include "bridge/server/WorkerPool.h"

#include "bridge/ipc/Values.h"
#include "bridge/server/WorkerEnvironment.h"

#include <algorithm>
#include <iostream>

namespace bridge::server {

using Clock = std::chrono::steady_clock;

struct WorkerPool::Worker {
    std::uint64_t serial = 0;
    std::unique_ptr<WorkerProcess> process;
    bool busy = false;
    bool decryptConfirmed = false;
    Clock::time_point lastUsed = Clock::now();
    std::optional<Clock::time_point> loginAt; // the newest token login the worker announced
};

struct WorkerPool::Slot {
    std::uint64_t nextTicket = 0;
    std::uint64_t serving = 0;
    std::condition_variable turn;
    std::unique_ptr<Worker> worker;

    std::uint64_t inFlight() const { return nextTicket - serving; }
};

struct WorkerPool::Exchange {
    std::optional<nlohmann::json> reply; // empty: the worker failed and has been killed
    const char* failure = "";
    bool lost = false; // the reply came, but the worker failed after it and has been killed
};

namespace {

// More wait announcements than any real call makes; beyond it the worker is not trusted.
constexpr int kMaxEventsPerCall = 10000;

const std::string kLogoutRequest = R"({"op":"logout"})";

bool succeeded(const nlohmann::json& reply) {
    const auto ok = reply.find("ok");
    return ok != reply.end() && ok->is_boolean() && ok->get<bool>();
}

std::string objectId(std::uint64_t workerSerial, std::uint64_t objectSerial) {
    return std::to_string(workerSerial).append(".").append(std::to_string(objectSerial));
}

// The worker's reply turned into the page's answer; nullopt for a reply of the wrong shape.
std::optional<Answer> interpret(const nlohmann::json& reply, std::uint64_t workerSerial, bool create) {
    const auto ok = reply.find("ok");
    if (ok == reply.end() || !ok->is_boolean())
        return std::nullopt;
    if (!ok->get<bool>()) {
        const auto status = reply.find("status");
        const auto error = reply.find("error");
        if (status == reply.end() || !status->is_number_integer() || error == reply.end() ||
            !error->is_string())
            return std::nullopt;
        const int code = status->get<int>();
        if (code < 400 || code > 599)
            return std::nullopt;
        return errorAnswer(code, error->get<std::string>());
    }
    if (create) {
        const auto object = reply.find("object");
        const auto members = reply.find("members");
        if (object == reply.end() || !object->is_number_unsigned() || members == reply.end() ||
            !members->is_array())
            return std::nullopt;
        return okAnswer({{"object", objectId(workerSerial, object->get<std::uint64_t>())},
                         {"members", *members}});
    }
    const auto value = reply.find("value");
    if (value == reply.end())
        return okAnswer();
    if (!value->is_array())
        return std::nullopt;
    return okAnswer({{"value", *value}});
}

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 1LL << 30));
}

} // namespace

WorkerPool::WorkerPool(PoolSettings settings) : settings_(std::move(settings)) {
    janitor_ = std::thread([this] { janitor(); });
}

WorkerPool::~WorkerPool() {
    beginShutdown();
    if (janitor_.joinable())
        janitor_.join();
    std::vector<std::unique_ptr<WorkerProcess>> ending;
    {
        std::lock_guard lock(mutex_);
        for (auto& [origin, slot] : slots_)
            if (slot->worker)
                ending.push_back(std::move(slot->worker->process));
        for (auto& retiring : retiring_)
            ending.push_back(std::move(retiring.process));
        slots_.clear();
        retiring_.clear();
    }
    // All at once, so that ending eight workers takes one grace period, not eight.
    for (auto& process : ending) {
        process->send(kLogoutRequest);
        process->closeInput();
    }
    const auto deadline = Clock::now() + settings_.endGrace;
    for (auto& process : ending)
        if (!process->waitExit(std::chrono::milliseconds(remainingMs(deadline))))
            process->kill();
}

void WorkerPool::beginShutdown() {
    std::lock_guard lock(mutex_);
    if (stopping_)
        return;
    stopping_ = true;
    for (auto& [origin, slot] : slots_) {
        slot->turn.notify_all();
        if (slot->worker && slot->worker->busy)
            slot->worker->process->interrupt();
    }
    janitorWake_.notify_all();
}

void WorkerPool::log(const std::string& line) const {
    if (settings_.log)
        settings_.log(line);
}

WorkerPool::Slot* WorkerPool::enter(const std::string& origin, std::unique_lock<std::mutex>& lock,
                                    Answer& refusal) {
    if (stopping_) {
        refusal = errorAnswer(503, errors::controlFailed);
        return nullptr;
    }
    auto& entry = slots_[origin];
    if (!entry)
        entry = std::make_unique<Slot>();
    Slot* slot = entry.get();
    if (slot->inFlight() > static_cast<std::uint64_t>(std::max(settings_.maxQueuedCalls, 0))) {
        log(std::string("origin ").append(origin).append(": too many calls waiting"));
        refusal = errorAnswer(503, errors::tooManyWaiting);
        return nullptr;
    }
    const std::uint64_t ticket = slot->nextTicket++;
    slot->turn.wait(lock, [&] { return stopping_ || slot->serving == ticket; });
    if (stopping_) {
        refusal = errorAnswer(503, errors::controlFailed);
        return nullptr;
    }
    return slot;
}

void WorkerPool::leave(const std::string& origin, Slot* slot, Worker* worker) {
    if (worker && slot->worker.get() == worker) {
        worker->busy = false;
        worker->lastUsed = Clock::now();
    }
    ++slot->serving;
    slot->turn.notify_all();
    if (slot->inFlight() == 0 && !slot->worker && !stopping_)
        slots_.erase(origin);
}

bool WorkerPool::makeRoom(const std::string& forOrigin) {
    int live = 0;
    Slot* oldest = nullptr;
    const std::string* oldestOrigin = nullptr;
    for (auto& [origin, slot] : slots_) {
        if (!slot->worker)
            continue;
        ++live;
        const bool idle = !slot->worker->busy && slot->inFlight() == 0 && origin != forOrigin;
        if (idle && (!oldest || slot->worker->lastUsed < oldest->worker->lastUsed)) {
            oldest = slot.get();
            oldestOrigin = &origin;
        }
    }
    if (live < settings_.maxWorkers)
        return true;
    if (!oldest)
        return false;
    const std::string origin = *oldestOrigin;
    retire(origin, *oldest, "ended to make room");
    slots_.erase(origin);
    return true;
}

void WorkerPool::retire(const std::string& origin, Slot& slot, const char* why) {
    log(std::string("worker ").append(std::to_string(slot.worker->serial)).append(" of ").append(origin)
            .append(" ").append(why));
    // Told to log out first; it does so before it reads the end of its input.
    slot.worker->process->send(kLogoutRequest);
    slot.worker->process->closeInput();
    retiring_.push_back({std::move(slot.worker->process), Clock::now()});
    slot.worker.reset();
    janitorWake_.notify_all();
}

WorkerPool::Exchange WorkerPool::exchange(Worker& worker, const std::string& request, const CallGate* gate,
                                          std::chrono::milliseconds budget) {
    WorkerProcess& process = *worker.process;
    Exchange result;
    auto fail = [&](const char* why) {
        process.kill();
        result.failure = why;
        return result;
    };
    const Clock::time_point sent = Clock::now();
    if (!process.send(request))
        return fail("could not be written to");

    // The budget runs only outside waits for the user and the gate's question; a wait has its
    // own, longer limit.
    auto runLeft = budget;
    bool waiting = false;
    bool gated = false;
    Clock::time_point segmentStart = Clock::now();
    for (int events = 0; events <= kMaxEventsPerCall; ++events) {
        const Clock::time_point deadline =
            waiting ? segmentStart + settings_.waitLimit : segmentStart + runLeft;
        std::string frame;
        switch (process.receive(frame, remainingMs(deadline))) {
        case ipc::FrameRead::ok: break;
        case ipc::FrameRead::timeout: return fail(waiting ? "hung in a wait for the user" : "ran out of time");
        case ipc::FrameRead::closed: return fail("crashed");
        case ipc::FrameRead::malformed: return fail("sent a malformed frame");
        }
        nlohmann::json message = nlohmann::json::parse(frame, nullptr, false);
        if (!message.is_object())
            return fail("sent a reply that is not a JSON object");
        const auto event = message.find("event");
        if (event == message.end()) {
            result.reply = std::move(message);
            return result;
        }
        const Clock::time_point now = Clock::now();
        if (*event == "login") {
            const auto age = message.find("ageMs");
            if (age == message.end() || !age->is_number_unsigned())
                return fail("sent an unknown event");
            // Never earlier than the request: a worker cannot claim a login it made before.
            const auto ago = std::chrono::milliseconds(std::min<std::uint64_t>(age->get<std::uint64_t>(), 1u << 30));
            worker.loginAt = std::max(now - ago, sent);
            continue;
        }
        if (*event == "gate") {
            const auto member = message.find("member");
            if (gate == nullptr || !*gate || gated || member == message.end() || !member->is_string() ||
                std::find(settings_.gatedMembers.begin(), settings_.gatedMembers.end(), *member) ==
                    settings_.gatedMembers.end())
                return fail("asked about a member the bridge did not expect");
            gated = true;
            if (!waiting)
                runLeft -= std::chrono::duration_cast<std::chrono::milliseconds>(now - segmentStart);
            const bool allowed = (*gate)(member->get<std::string>(), worker.decryptConfirmed);
            if (!process.send(ipc::dumpMessage({{"gate", allowed}})))
                return fail("could not be written to");
            segmentStart = Clock::now();
            continue;
        }
        const auto begins = message.find("begins");
        if (*event != "wait" || begins == message.end() || !begins->is_boolean())
            return fail("sent an unknown event");
        if (begins->get<bool>() && !waiting) {
            runLeft -= std::chrono::duration_cast<std::chrono::milliseconds>(now - segmentStart);
            waiting = true;
            segmentStart = now;
        } else if (!begins->get<bool>() && waiting) {
            waiting = false;
            segmentStart = now;
        }
    }
    return fail("sent too many events");
}

bool WorkerPool::loginExpired(const Worker& worker, Clock::time_point now) const {
    return worker.loginAt && now - *worker.loginAt >= settings_.loginLifetime;
}

bool WorkerPool::endLogin(const std::string& origin, Worker& worker, Exchange& failure, const char* why) {
    Exchange result = exchange(worker, kLogoutRequest, nullptr, settings_.logoutLimit);
    if (result.reply && !succeeded(*result.reply)) {
        worker.process->kill();
        result.reply.reset();
        result.failure = "could not log out";
    }
    if (!result.reply) {
        failure = result;
        return false;
    }
    worker.loginAt.reset();
    log(std::string("worker ").append(std::to_string(worker.serial)).append(" of ").append(origin)
            .append(" logged out: ").append(why));
    return true;
}

WorkerPool::Exchange WorkerPool::run(const std::string& origin, Worker& worker, const std::string& request,
                                     const CallGate* gate) {
    Exchange result;
    if (loginExpired(worker, Clock::now()) && !endLogin(origin, worker, result, "its PIN entry is too old"))
        return result;
    result = exchange(worker, request, gate, settings_.callBudget);
    // A lifetime of zero: the login ends with the call that made it.
    if (result.reply && settings_.loginLifetime.count() <= 0 && worker.loginAt) {
        Exchange failed;
        if (!endLogin(origin, worker, failed, "the call that made it ended")) {
            result.lost = true;
            result.failure = failed.failure;
        }
    }
    return result;
}

Answer WorkerPool::conclude(const std::string& origin, Slot* slot, Worker& worker,
                            const Exchange& result, bool create) {
    std::optional<Answer> answer;
    if (result.reply) {
        answer = interpret(*result.reply, worker.serial, create);
        if (!answer) {
            worker.process->kill();
            log(std::string("worker ").append(std::to_string(worker.serial)).append(" of ").append(origin)
                    .append(" sent a reply of the wrong shape"));
        }
    } else {
        log(std::string("worker ").append(std::to_string(worker.serial)).append(" of ").append(origin)
                .append(" ").append(result.failure).append("; killed"));
    }
    if (answer && result.lost) {
        log(std::string("worker ").append(std::to_string(worker.serial)).append(" of ").append(origin)
                .append(" ").append(result.failure).append("; killed"));
        slot->worker.reset();
    }
    if (!answer) {
        // The process is gone; its objects answer "released" from now on.
        slot->worker.reset();
        answer = errorAnswer(500, errors::controlFailed);
    }
    return *answer;
}

Answer WorkerPool::create(const std::string& origin, const std::string& progId) {
    std::unique_lock lock(mutex_);
    Answer refusal;
    Slot* slot = enter(origin, lock, refusal);
    if (!slot)
        return refusal;
    bool fresh = false;
    if (!slot->worker) {
        if (!makeRoom(origin)) {
            log(std::string("origin ").append(origin).append(": every worker is busy"));
            leave(origin, slot, nullptr);
            return errorAnswer(503, errors::controlFailed);
        }
        std::string error;
        auto process = WorkerProcess::start(
            settings_.workerPath, workerEnvironment(origin, settings_.codePage, currentEnvironment()), error);
        if (!process) {
            log(std::string("origin ").append(origin).append(": ").append(error));
            leave(origin, slot, nullptr);
            return errorAnswer(500, errors::controlFailed);
        }
        auto worker = std::make_unique<Worker>();
        worker->serial = nextSerial_++;
        worker->process = std::move(process);
        log(std::string("worker ").append(std::to_string(worker->serial)).append(" started for ")
                .append(origin).append(" (pid ").append(std::to_string(worker->process->pid())).append(")"));
        slot->worker = std::move(worker);
        fresh = true;
    }
    Worker& worker = *slot->worker;
    worker.busy = true;
    lock.unlock();

    Exchange result;
    if (fresh) {
        result = exchange(worker, ipc::dumpMessage({{"op", "gate"}, {"members", settings_.gatedMembers}}), nullptr,
                          settings_.callBudget);
        if (result.reply && !succeeded(*result.reply)) {
            worker.process->kill();
            result.reply.reset();
            result.failure = "refused its gated members";
        }
    }
    if (!fresh || result.reply)
        result = run(origin, worker, ipc::dumpMessage({{"op", "create"}, {"progId", progId}}), nullptr);

    lock.lock();
    Answer answer = conclude(origin, slot, worker, result, true);
    leave(origin, slot, slot->worker.get());
    return answer;
}

Answer WorkerPool::call(const std::string& origin, const policy::Request& request, const CallGate& gate) {
    std::unique_lock lock(mutex_);
    const auto current = slots_.find(origin);
    if (current == slots_.end() || !current->second->worker ||
        current->second->worker->serial != request.workerSerial)
        return errorAnswer(410, errors::released);
    Answer refusal;
    Slot* slot = enter(origin, lock, refusal);
    if (!slot)
        return refusal;
    // The worker may have ended while this call waited for its turn.
    if (!slot->worker || slot->worker->serial != request.workerSerial) {
        leave(origin, slot, nullptr);
        return errorAnswer(410, errors::released);
    }
    Worker& worker = *slot->worker;
    worker.busy = true;
    lock.unlock();

    const Exchange result = run(origin, worker,
                                ipc::dumpMessage({{"op", "call"},
                                                  {"object", request.objectSerial},
                                                  {"member", request.member},
                                                  {"args", request.args}}),
                                &gate);
    lock.lock();
    Answer answer = conclude(origin, slot, worker, result, false);
    leave(origin, slot, slot->worker.get());
    return answer;
}

// Idle workers whose login has run out log out now rather than at their next call. Each is
// reserved as a call would be (a ticket, busy), so no call or eviction reaches it meanwhile.
void WorkerPool::expireIdleLogins(std::unique_lock<std::mutex>& lock) {
    const Clock::time_point now = Clock::now();
    std::vector<std::pair<std::string, Slot*>> expiring;
    for (auto& [origin, slot] : slots_) {
        if (slot->worker && !slot->worker->busy && slot->inFlight() == 0 && loginExpired(*slot->worker, now)) {
            ++slot->nextTicket;
            slot->worker->busy = true;
            expiring.emplace_back(origin, slot.get());
        }
    }
    if (expiring.empty())
        return;
    std::vector<Exchange> failures(expiring.size());
    std::vector<char> ended(expiring.size(), 0);
    lock.unlock();
    for (std::size_t i = 0; i < expiring.size(); ++i)
        ended[i] = endLogin(expiring[i].first, *expiring[i].second->worker, failures[i],
                            "its PIN entry is too old") ? 1 : 0;
    lock.lock();
    for (std::size_t i = 0; i < expiring.size(); ++i) {
        const std::string& origin = expiring[i].first;
        Slot* slot = expiring[i].second;
        if (ended[i]) {
            slot->worker->busy = false;
        } else {
            log(std::string("worker ").append(std::to_string(slot->worker->serial)).append(" of ").append(origin)
                    .append(" ").append(failures[i].failure).append("; killed"));
            slot->worker.reset();
        }
        ++slot->serving;
        slot->turn.notify_all();
        if (slot->inFlight() == 0 && !slot->worker && !stopping_)
            slots_.erase(origin);
    }
}

void WorkerPool::janitor() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        janitorWake_.wait_for(lock, retiring_.empty() ? std::chrono::milliseconds(250)
                                                      : std::chrono::milliseconds(20));
        if (stopping_)
            break;
        const Clock::time_point now = Clock::now();
        for (auto it = slots_.begin(); it != slots_.end();) {
            Slot& slot = *it->second;
            if (slot.worker && !slot.worker->busy && slot.inFlight() == 0 &&
                now - slot.worker->lastUsed >= settings_.idle) {
                retire(it->first, slot, "ended after its idle time");
                it = slots_.erase(it);
            } else {
                ++it;
            }
        }
        expireIdleLogins(lock);
        if (stopping_)
            break;
        for (auto it = retiring_.begin(); it != retiring_.end();) {
            if (it->process->waitExit(std::chrono::milliseconds(0))) {
                it = retiring_.erase(it);
            } else if (now - it->since >= settings_.endGrace) {
                it->process->kill();
                it = retiring_.erase(it);
            } else {
                ++it;
            }
        }
    }
}

} // namespace bridge::server
