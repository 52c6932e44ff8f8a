// A worker taken over, replayed by a control that tries from inside it what such a worker would:
// rewrite the bridge's decisions, write the user's files, reach the bridge's port or another
// process, run programs.
#include "WorkerFixture.h"

#include "bridge/policy/DecisionStore.h"
#include "bridge/policy/StateFiles.h"
#include "bridge/worker/Confinement.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace worker_test {
namespace {

using nlohmann::json;
using bridge::policy::Decision;

constexpr const char* kJail = "KorvanBridgeTest.Jail";

class ConfinementTest : public WorkerTest {
protected:
    static void SetUpTestSuite() {
        WorkerTest::SetUpTestSuite();
        ASSERT_EQ(control_host::registerModule(JAIL_MODULE), S_OK);
    }
    void SetUp() override {
        WorkerTest::SetUp();
        char pattern[] = "/tmp/bridge-jail-home-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(home_); }

    // A worker with a home folder of the test's own, and a jail object in it.
    void start() {
        worker_ = std::make_unique<WorkerProcess>(std::vector<std::pair<std::string, std::string>>{{"HOME", home_}});
        ASSERT_TRUE(worker_->started());
        const json created = worker_->create(kJail);
        ASSERT_EQ(outcome(created), "ok") << worker_->log();
        jail_ = created.value("object", -1LL);
    }
    json value(const char* member, const json& arguments = json::array()) {
        const json reply = worker_->call(jail_, member, arguments);
        return reply.value("ok", false) ? reply.value("value", json()) : json(outcome(reply));
    }
    static json errnoValue(int error) { return json::array({"n", error}); }
    static json text(const std::string& s) { return json::array({json::array({"s", s})}); }

    std::string home_;
    std::unique_ptr<WorkerProcess> worker_;
    long long jail_ = -1;
};

TEST_F(ConfinementTest, AWorkerWritesOnlyTheTokenStoreAndItsOwnRuntimeFolder) {
    bridge::policy::DecisionStore decisions;
    ASSERT_TRUE(decisions.remember("https://bank.test", Decision::denied));
    const std::string state = bridge::policy::state::folder();
    start();

    // The bridge's own decisions: neither replaced nor added to.
    EXPECT_EQ(value("WriteFile", text(state + "/decisions")), errnoValue(EACCES));
    EXPECT_EQ(value("WriteFile", text(state + "/decrypt-calls")), errnoValue(EACCES));
    // The user's files, the registry store and the temporary folder.
    EXPECT_EQ(value("WriteFile", text(home_ + "/.profile")), errnoValue(EACCES));
    EXPECT_EQ(value("WriteFile", text(store().registryDir() + "/HKEY_CURRENT_USER.json")), errnoValue(EACCES));
    EXPECT_EQ(value("WriteFile", text("/tmp/bridge-jail-escape")), errnoValue(EACCES));
    // What it needs to work.
    EXPECT_EQ(value("WriteFile", text(store().root() + "/store/jail-probe")), errnoValue(0));
    const json runtime = value("Variable", text("XDG_RUNTIME_DIR"));
    ASSERT_TRUE(runtime.is_array() && runtime.size() == 2) << runtime;
    const std::string folder = runtime[1].get<std::string>();
    EXPECT_NE(folder.find("/korvanng-worker-"), std::string::npos) << folder;
    EXPECT_EQ(value("WriteFile", text(folder + "/scratch")), errnoValue(0));
    EXPECT_EQ(worker_->finish(), 0) << worker_->log();

    EXPECT_EQ(decisions.decision("https://bank.test"), Decision::denied);
    EXPECT_FALSE(std::filesystem::exists(home_ + "/.profile"));
    EXPECT_TRUE(std::filesystem::exists(store().root() + "/store/jail-probe"));
    std::filesystem::remove(store().root() + "/store/jail-probe");
    // The runtime folder goes with the worker (removed by a process that outlives it).
    for (int i = 0; i < 500 && std::filesystem::exists(folder); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST_F(ConfinementTest, AWorkerReachesNeitherTheBridgePortNorAnyNetworkNorOtherProcesses) {
    // A listener standing in for the bridge on 127.0.0.1.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    start();

    EXPECT_EQ(value("ConnectTcp", json::array({json::array({"n", ntohs(address.sin_port)})})), errnoValue(EPERM));
    EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << "nothing reached the listener";
    ::close(listener);
    for (const int family : {AF_INET6, AF_NETLINK, AF_PACKET})
        EXPECT_EQ(value("OpenSocket", json::array({json::array({"n", family})})), errnoValue(EPERM)) << family;
    EXPECT_EQ(value("OpenSocket", json::array({json::array({"n", AF_UNIX})})), errnoValue(0)) << "the display's kind";
    EXPECT_EQ(value("Trace"), errnoValue(EPERM));
    EXPECT_EQ(value("WriteMemory"), errnoValue(EPERM));
}

TEST_F(ConfinementTest, AWorkerRunsThePinentryAndNoOtherProgram) {
    start();
    EXPECT_LT(value("Run", text(CONTROL_HOST_PINENTRY))[1].get<int>(), 100) << "the pinentry is run";
    for (const char* program : {"/bin/true", "/usr/bin/env", BRIDGE_WORKER_PATH})
        EXPECT_EQ(value("Run", text(program)), errnoValue(100 + EACCES)) << program;
}

// The toolkit starts threads before the worker confines itself (the X event reader); a thread
// that was already running is fenced in too.
TEST_F(ConfinementTest, ThreadsStartedBeforeConfinementAreConfinedToo) {
    const pid_t child = fork();
    if (child == 0) {
        setenv("HOME", home_.c_str(), 1);
        std::promise<void> confined;
        std::future<int> tried = std::async(std::launch::async, [this, go = confined.get_future()]() mutable {
            go.wait();
            const int file = ::open((home_ + "/from-a-thread").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            return (file >= 0 ? 1 : 0) | (socket >= 0 ? 2 : 0);
        });
        std::string error;
        if (!bridge::worker::confine(error))
            _exit(10);
        confined.set_value();
        _exit(tried.get());
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the thread wrote in the home folder, 2: it opened an IP socket";
    EXPECT_FALSE(std::filesystem::exists(home_ + "/from-a-thread"));
}

// A real token's module, as an administrator lets it work: it writes beneath the folder its
// bridge.conf grants and nowhere beside it, reads its library outside the system's folders, and
// reaches its daemon's socket (as OpenSC reaches pcscd's) wherever that lies.
TEST_F(ConfinementTest, AGrantedFolderIsWrittenTheLibraryReadAndADaemonSocketReached) {
    const std::string granted = home_ + "/.softhsm";
    const std::string beside = home_ + "/.other";
    const std::string library = home_ + "/lib/libmaker.so";
    for (const std::string& folder : {granted, beside, home_ + "/lib", home_ + "/.config/korvanng", home_ + "/run"})
        std::filesystem::create_directories(folder);
    std::ofstream(home_ + "/.config/korvanng/bridge.conf") << "token-path = " << granted << "\n";
    std::ofstream(library) << "a module";
    const int daemon = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(daemon, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = home_ + "/run/daemon.comm";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(daemon, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(daemon, 4), 0);

    const pid_t child = fork();
    if (child == 0) {
        setenv("HOME", home_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home_ + "/.config").c_str(), 1);
        setenv("KORVAN_TOKEN_LIBRARY", library.c_str(), 1);
        std::string error;
        if (!bridge::worker::confine(error))
            _exit(100);
        int failed = 0;
        const auto writes = [](const std::string& path) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            return fd >= 0 && ::close(fd) == 0;
        };
        failed |= writes(granted + "/token.object") ? 0 : 1;
        failed |= writes(beside + "/token.object") ? 2 : 0;
        const int connection = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        failed |= ::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : 4;
        failed |= ::open(library.c_str(), O_RDONLY | O_CLOEXEC) >= 0 ? 0 : 8;
        _exit(failed);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ::close(daemon);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the granted folder was not written, 2: the folder beside it was, "
                                         "4: the daemon was not reached, 8: the library was not read, 100: no "
                                         "confinement";
    EXPECT_TRUE(std::filesystem::exists(granted + "/token.object"));
    EXPECT_FALSE(std::filesystem::exists(beside + "/token.object"));
}

} // namespace
} // namespace worker_test
