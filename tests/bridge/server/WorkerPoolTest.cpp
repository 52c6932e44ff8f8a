// The pool on its own, for what the HTTP side cannot reach quickly: hung waits, replies the
// bridge must not trust, workers that cannot start, and shutting down under a running call.
#include "bridge/server/WorkerPool.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

using namespace bridge::server;

namespace {

class WorkerPoolTest : public ::testing::Test {
protected:
    WorkerPoolTest() {
        settings.workerPath = KORVAN_FAKE_WORKER;
        settings.endGrace = std::chrono::milliseconds(500);
        settings.log = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines += line + "\n";
        };
    }

    std::string logged() {
        std::lock_guard lock(mutex);
        return lines;
    }

    static bridge::policy::Request request(const std::string& object, const std::string& member, long number = 0) {
        bridge::policy::Request request;
        request.op = bridge::policy::Request::Op::call;
        request.object = object;
        const auto dot = object.find('.');
        request.workerSerial = std::stoull(object.substr(0, dot));
        request.objectSerial = std::stoull(object.substr(dot + 1));
        request.member = member;
        request.args = nlohmann::json::array({nlohmann::json::array({"n", number})});
        return request;
    }

    std::string create(WorkerPool& pool) {
        const Answer answer = pool.create("https://a.example", "Fake.Control");
        EXPECT_EQ(answer.status, 200) << answer.body.dump();
        return answer.body.value("object", "0.0");
    }

    PoolSettings settings;
    std::mutex mutex;
    std::string lines;
};

} // namespace

TEST_F(WorkerPoolTest, WaitLongerThanItsLimitIsAHang) {
    settings.waitLimit = std::chrono::milliseconds(300);
    WorkerPool pool(settings);
    const std::string object = create(pool);
    const auto before = std::chrono::steady_clock::now();
    const Answer hung = pool.call("https://a.example", request(object, "WaitSleep", 5000), {});
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_EQ(hung.status, 500);
    EXPECT_EQ(hung.body["error"], "control failed");
    EXPECT_NE(logged().find("hung in a wait"), std::string::npos);
    EXPECT_EQ(pool.call("https://a.example", request(object, "Pid"), {}).status, 410);
}

TEST_F(WorkerPoolTest, UntrustworthyRepliesKillTheWorker) {
    WorkerPool pool(settings);
    for (const char* member : {"Garbage", "BadShape", "BadStatus"}) {
        const std::string object = create(pool);
        const Answer answer = pool.call("https://a.example", request(object, member), {});
        EXPECT_EQ(answer.status, 500) << member;
        EXPECT_EQ(answer.body["error"], "control failed") << member;
        EXPECT_EQ(pool.call("https://a.example", request(object, "Pid"), {}).status, 410) << member;
    }
}

TEST_F(WorkerPoolTest, WorkerThatCannotStartFailsTheCreate) {
    settings.workerPath = "/nonexistent/korvan-bridge-worker";
    WorkerPool pool(settings);
    const Answer answer = pool.create("https://a.example", "Fake.Control");
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(answer.body["error"], "control failed");
    EXPECT_NE(logged().find("cannot start"), std::string::npos);
}

TEST_F(WorkerPoolTest, ShutdownEndsARunningCallAndRefusesNewOnes) {
    auto pool = std::make_unique<WorkerPool>(settings);
    const std::string object = create(*pool);
    auto running = std::async(std::launch::async, [&] {
        return pool->call("https://a.example", request(object, "Sleep", 20000), {});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto before = std::chrono::steady_clock::now();
    pool->beginShutdown();
    EXPECT_EQ(running.get().status, 500);
    EXPECT_EQ(pool->create("https://b.example", "Fake.Control").status, 503);
    pool.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}
