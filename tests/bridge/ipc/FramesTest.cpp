// Frames over pipes and sockets: whole frames whatever the pieces they arrive in, the length
// bound enforced before anything is allocated, ends, timeouts and signals.
#include "bridge/ipc/Frames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <new>
#include <thread>

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

// The largest single allocation the program made, so a test can tell what a read allocated.
namespace {
std::atomic<std::size_t> largestAllocation{0};
}

void* operator new(std::size_t size) {
    std::size_t seen = largestAllocation.load();
    while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
    }
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using bridge::ipc::FrameRead;
using bridge::ipc::kMaxFrameBytes;
using bridge::ipc::readFrame;
using bridge::ipc::writeFrame;

enum class Transport { pipe, socket };

// One direction of a channel: a pipe, or a local socket pair used one way, as the bridge does.
struct Pipe {
    int read = -1;
    int write = -1;
    explicit Pipe(Transport transport = Transport::pipe) {
        int fds[2];
        const int made = transport == Transport::pipe ? pipe(fds) : socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        if (made == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0)
            close(read);
        read = -1;
    }
    void closeWrite() {
        if (write >= 0)
            close(write);
        write = -1;
    }
    void raw(const std::string& bytes) const { ASSERT_EQ(::write(write, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
};

std::string header(std::uint32_t length) {
    return {static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
            static_cast<char>(length)};
}

class FramesOverEither : public ::testing::TestWithParam<Transport> {};

TEST_P(FramesOverEither, RoundTripWholeFramesOfAnySizeInOrder) {
    Pipe channel(GetParam());
    const std::string large(kMaxFrameBytes, 'x');
    std::thread writer([&] {
        EXPECT_TRUE(writeFrame(channel.write, R"({"op":"create"})"));
        EXPECT_TRUE(writeFrame(channel.write, ""));
        EXPECT_TRUE(writeFrame(channel.write, large));
    });
    std::string json;
    ASSERT_EQ(readFrame(channel.read, json, 10000), FrameRead::ok);
    EXPECT_EQ(json, R"({"op":"create"})");
    ASSERT_EQ(readFrame(channel.read, json, 10000), FrameRead::ok);
    EXPECT_EQ(json, "");
    ASSERT_EQ(readFrame(channel.read, json, 10000), FrameRead::ok);
    EXPECT_EQ(json, large);
    writer.join();
    channel.closeWrite();
    EXPECT_EQ(readFrame(channel.read, json, 10000), FrameRead::closed);
}

TEST_P(FramesOverEither, AFrameArrivingInPiecesIsReadWhole) {
    Pipe channel(GetParam());
    const std::string frame = header(5) + "hello";
    std::thread writer([&] {
        for (char c : frame) {
            channel.raw(std::string(1, c));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::string json;
    EXPECT_EQ(readFrame(channel.read, json, 10000), FrameRead::ok);
    EXPECT_EQ(json, "hello");
    writer.join();
}

TEST_P(FramesOverEither, ALengthOverTheBoundIsRefusedBeforeAllocating) {
    std::string json;
    for (std::uint32_t length : {static_cast<std::uint32_t>(kMaxFrameBytes + 1), 0xFFFFFFFFu}) {
        Pipe channel(GetParam());
        channel.raw(header(length)); // and nothing more: a read of the payload would wait
        largestAllocation = 0;
        EXPECT_EQ(readFrame(channel.read, json, 10000), FrameRead::malformed) << length;
        EXPECT_LT(largestAllocation.load(), std::size_t{1} << 20) << length;
    }
    Pipe channel(GetParam());
    EXPECT_FALSE(writeFrame(channel.write, std::string(kMaxFrameBytes + 1, 'x')));
    channel.closeWrite();
    EXPECT_EQ(readFrame(channel.read, json, 1000), FrameRead::closed) << "nothing of it was written";
}

TEST_P(FramesOverEither, AStreamEndingInsideAFrameIsMalformed) {
    std::string json;
    for (const std::string& part : {std::string("\0\0", 2), header(10) + "short"}) {
        Pipe channel(GetParam());
        channel.raw(part);
        channel.closeWrite();
        EXPECT_EQ(readFrame(channel.read, json, 10000), FrameRead::malformed) << part.size();
        EXPECT_EQ(json, "");
    }
}

TEST_P(FramesOverEither, TheTimeoutBoundsTheWholeFrame) {
    std::string json;
    {
        Pipe idle(GetParam());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(readFrame(idle.read, json, 100), FrameRead::timeout);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    }
    // A zero timeout still takes a frame that is already there.
    Pipe ready(GetParam());
    ASSERT_TRUE(writeFrame(ready.write, "now"));
    EXPECT_EQ(readFrame(ready.read, json, 0), FrameRead::ok);
    EXPECT_EQ(json, "now");
    // A peer that sends part of a frame and stalls cannot hold the reader past its deadline.
    Pipe stalled(GetParam());
    stalled.raw(header(10) + "part");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readFrame(stalled.read, json, 200), FrameRead::timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

void noteSignal(int) {}

TEST_P(FramesOverEither, ASignalDuringTheWaitDoesNotEndTheRead) {
    struct sigaction action{};
    action.sa_handler = noteSignal; // no SA_RESTART: poll and read see EINTR
    struct sigaction previous{};
    sigaction(SIGUSR1, &action, &previous);
    Pipe channel(GetParam());
    const pthread_t reader = pthread_self();
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(reader, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(writeFrame(channel.write, "late"));
    });
    std::string json;
    EXPECT_EQ(readFrame(channel.read, json, 10000), FrameRead::ok);
    EXPECT_EQ(json, "late");
    writer.join();
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(Frames, WritingToAClosedPeerFailsWithoutSigpipe) {
    // With the default disposition a SIGPIPE would end this program.
    const auto previous = std::signal(SIGPIPE, SIG_DFL);
    {
        Pipe channel;
        channel.closeRead();
        EXPECT_FALSE(writeFrame(channel.write, "to nobody"));
    }
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    close(sockets[1]);
    EXPECT_FALSE(writeFrame(sockets[0], "to nobody"));
    close(sockets[0]);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no SIGPIPE left waiting";
    std::signal(SIGPIPE, previous);
}

TEST(Frames, FramesTravelOverSockets) {
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    ASSERT_TRUE(writeFrame(sockets[0], R"({"ok":true})"));
    std::string json;
    EXPECT_EQ(readFrame(sockets[1], json, 1000), FrameRead::ok);
    EXPECT_EQ(json, R"({"ok":true})");
    close(sockets[0]);
    close(sockets[1]);
}

INSTANTIATE_TEST_SUITE_P(Transports, FramesOverEither, ::testing::Values(Transport::pipe, Transport::socket),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return info.param == Transport::pipe ? "Pipe" : "Socket";
                         });

} // namespace
