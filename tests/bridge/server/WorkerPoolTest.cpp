// The pool on its own, for what the HTTP side cannot reach quickly: hung waits, replies the
// bridge must not trust, workers that cannot start, and shutting down under a running call.
#include "bridge/server/WorkerPool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

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

    static long number(const Answer& answer) {
        return answer.body.contains("value") ? answer.body["value"][1].get<long>() : -1;
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

// Logins: the fake worker's Sign() asks for a PIN unless logged in, and every logout it is told
// of lands in a file, one line each.
class LoginLifetimeTest : public WorkerPoolTest {
protected:
    LoginLifetimeTest() {
        std::string folder = (std::filesystem::temp_directory_path() / "korvan-logins-XXXXXX").string();
        EXPECT_NE(::mkdtemp(folder.data()), nullptr);
        folder_ = folder;
        ::setenv("KORVAN_FAKE_LOGOUTS", (folder_ + "/logouts").c_str(), 1);
    }
    ~LoginLifetimeTest() override {
        ::unsetenv("KORVAN_FAKE_LOGOUTS");
        std::filesystem::remove_all(folder_);
    }
    int logouts() const {
        std::ifstream file(folder_ + "/logouts");
        int lines = 0;
        for (std::string line; std::getline(file, line);)
            ++lines;
        return lines;
    }
    long pinsAfterSign(WorkerPool& pool, const std::string& object) {
        return number(pool.call("https://a.example", request(object, "Sign"), {}));
    }

    std::string folder_;
};

TEST_F(LoginLifetimeTest, APinEntryLastsItsLifetimeWhateverTheCalls) {
    settings.loginLifetime = std::chrono::seconds(2);
    WorkerPool pool(settings);
    const std::string object = create(pool);
    EXPECT_EQ(pinsAfterSign(pool, object), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(pinsAfterSign(pool, object), 1) << "within the lifetime: no PIN";
    EXPECT_EQ(logouts(), 0);
    // Past two seconds from the PIN entry, one second after the last call: the call renewed nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(pinsAfterSign(pool, object), 2) << "the PIN is asked again";
    EXPECT_EQ(logouts(), 1);
    EXPECT_NE(logged().find("logged out: its PIN entry is too old"), std::string::npos);

    // An idle worker is logged out when the lifetime ends, not only at its next call.
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    EXPECT_EQ(logouts(), 2);
    EXPECT_EQ(number(pool.call("https://a.example", request(object, "Pins"), {})), 2);
}

TEST_F(LoginLifetimeTest, ALifetimeOfZeroAsksForThePinInEveryCall) {
    settings.loginLifetime = std::chrono::seconds(0);
    WorkerPool pool(settings);
    const std::string object = create(pool);
    for (long call = 1; call <= 3; ++call)
        EXPECT_EQ(pinsAfterSign(pool, object), call);
    EXPECT_EQ(logouts(), 3);
    EXPECT_EQ(number(pool.call("https://a.example", request(object, "Pins"), {})), 3);
    EXPECT_EQ(logouts(), 3) << "a call that made no login needs no logout";
}

TEST_F(LoginLifetimeTest, AnEndedWorkerLogsOut) {
    settings.idle = std::chrono::milliseconds(300);
    {
        WorkerPool pool(settings);
        const std::string object = create(pool);
        EXPECT_EQ(pinsAfterSign(pool, object), 1);
        // Ended after its idle time...
        for (int i = 0; i < 100 && logouts() < 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(logouts(), 1);
        EXPECT_NE(logged().find("ended after its idle time"), std::string::npos);
        // ...and with the pool.
        create(pool);
    }
    EXPECT_EQ(logouts(), 2);
}
