// A thousand connections that each send a header line every 2 s: a real call beside them is
// not delayed by more than 50 ms, and each of them is closed once its header block is 5 s old.
// Timed, so its own program, run alone.
#include "tests/bridge/server/BridgeFixture.h"

#include <fcntl.h>

using namespace bridge_test;

TEST_F(BridgeTest, ThousandSlowClientsDelayNoCall) {
    ::alarm(90);
    start();
    const std::string object = createObject(kAllowed);
    const auto timeCall = [&] {
        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(call(kAllowed, object, "Echo", text("x")).status, 200);
        return std::chrono::steady_clock::now() - before;
    };
    std::vector<std::chrono::steady_clock::duration> alone;
    for (int i = 0; i < 21; ++i)
        alone.push_back(timeCall());
    std::sort(alone.begin(), alone.end());
    const auto usual = alone[alone.size() / 2];

    std::vector<UniqueFd> slow;
    const std::string start = "GET /korvan/activex.js HTTP/1.1\r\nHost: " + host() + "\r\n";
    for (int i = 0; i < 1000; ++i) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << i;
        ::send(fd.get(), start.data(), start.size(), MSG_NOSIGNAL);
        slow.push_back(std::move(fd));
    }
    const auto opened = std::chrono::steady_clock::now();
    std::atomic<bool> done{false};
    std::thread dribble([&] {
        for (int round = 0; !done; ++round) {
            const std::string line = "X-Slow-" + std::to_string(round) + ": a\r\n";
            for (const UniqueFd& fd : slow)
                ::send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            for (int i = 0; i < 20 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::chrono::steady_clock::duration worst{};
    while (std::chrono::steady_clock::now() - opened < std::chrono::milliseconds(4000))
        worst = std::max(worst, timeCall());
    EXPECT_LT(worst - usual, std::chrono::milliseconds(50))
        << "alone " << std::chrono::duration<double, std::milli>(usual).count() << " ms, beside them "
        << std::chrono::duration<double, std::milli>(worst).count() << " ms";

    // Their header blocks are over 5 s old by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(6000) - (std::chrono::steady_clock::now() - opened));
    done = true;
    dribble.join();
    int closed = 0;
    for (const UniqueFd& fd : slow) {
        char byte = 0;
        const ssize_t n = ::recv(fd.get(), &byte, 1, MSG_DONTWAIT);
        closed += n == 0 || (n < 0 && errno == ECONNRESET) ? 1 : 0;
    }
    EXPECT_EQ(closed, 1000) << "slow header blocks outlived their 5 s";
}
