// Several processes sharing one token file, and a writer killed mid-stream.

#include "TestStore.h"

#include <csignal>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace softtoken::store::test {
namespace {

class StoreProcesses : public StoreTest {
protected:
    void createBigToken(std::uint8_t userRetryLimit = 3) {
        auto r = request();
        r.publicMemory = 50000000;
        r.userRetryLimit = userRetryLimit;
        ASSERT_EQ(TokenDatabase::create(config_, "alpha", r), CKR_OK);
    }

    // Runs body in a child process; its result becomes the exit status.
    template <class F> pid_t spawn(F body) {
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(body());
        EXPECT_GT(pid, 0);
        return pid;
    }

    static int exitStatus(pid_t pid) {
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

TEST_F(StoreProcesses, FailureCountersFromTwoProcessesAddUp) {
    createBigToken(0);
    constexpr int kEach = 15;
    auto body = [this] {
        std::unique_ptr<TokenDatabase> db;
        if (TokenDatabase::open(config_, "alpha", db) != CKR_OK)
            return 10;
        SecureBytes key;
        for (int i = 0; i < kEach; ++i)
            if (db->login(CKU_USER, pin("wrong-pin"), key) != CKR_PIN_INCORRECT)
                return 11;
        return 0;
    };
    const pid_t a = spawn(body);
    const pid_t b = spawn(body);
    EXPECT_EQ(exitStatus(a), 0);
    EXPECT_EQ(exitStatus(b), 0);
    std::unique_ptr<TokenDatabase> db;
    ASSERT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);
    TokenRecord token;
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.userFailures, 2 * kEach);
}

TEST_F(StoreProcesses, TwoWritersAtOnceLoseNothing) {
    createBigToken();
    constexpr int kEach = 60;
    auto writer = [this](char tag) {
        return [this, tag] {
            std::unique_ptr<TokenDatabase> db;
            if (TokenDatabase::open(config_, "alpha", db) != CKR_OK)
                return 10;
            for (int i = 0; i < kEach; ++i) {
                ObjectRecord o = object(false, std::string(1, tag) + std::to_string(i));
                if (db->createObject(nullptr, o) != CKR_OK)
                    return 11;
            }
            return 0;
        };
    };
    const pid_t a = spawn(writer('a'));
    const pid_t b = spawn(writer('b'));
    EXPECT_EQ(exitStatus(a), 0);
    EXPECT_EQ(exitStatus(b), 0);

    std::unique_ptr<TokenDatabase> db;
    ASSERT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);
    std::vector<ObjectRecord> objects;
    ASSERT_EQ(db->readObjects(nullptr, objects), CKR_OK);
    std::set<std::string> values;
    std::uint64_t used = 0;
    for (auto& o : objects) {
        const Bytes& v = o.attributes[CKA_VALUE];
        values.emplace(v.begin(), v.end());
        used += objectSize(o.attributes);
    }
    EXPECT_EQ(values.size(), 2u * kEach);
    EXPECT_TRUE(values.count("a0") && values.count("b" + std::to_string(kEach - 1)));
    TokenRecord token;
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.publicMemoryUsed, used);
}

// The try is counted before the PIN is compared: a process killed during the check,
// even with the right PIN, has used it up, so killing cannot buy unlimited guesses.
TEST_F(StoreProcesses, PinCheckKilledMidwayStillCountsTheTry) {
    createBigToken();
    Config slow = config_;
    slow.pinIterations = 1000000; // a check long enough to be caught midway
    {
        std::unique_ptr<TokenDatabase> db;
        ASSERT_EQ(TokenDatabase::open(slow, "alpha", db), CKR_OK);
        ASSERT_EQ(db->changePin(CKU_USER, pin("user-secret"), pin("slow-secret")), CKR_OK);
    }
    std::unique_ptr<TokenDatabase> watcher;
    ASSERT_EQ(TokenDatabase::open(config_, "alpha", watcher), CKR_OK);
    const pid_t child = spawn([this] {
        std::unique_ptr<TokenDatabase> db;
        if (TokenDatabase::open(config_, "alpha", db) != CKR_OK)
            return 10;
        SecureBytes key;
        return db->login(CKU_USER, pin("slow-secret"), key) == CKR_OK ? 0 : 11;
    });
    bool raisedWhileChecking = false;
    for (;;) {
        TokenRecord token;
        ASSERT_EQ(watcher->readToken(token), CKR_OK);
        if (token.userFailures == 1) {
            raisedWhileChecking = ::waitpid(child, nullptr, WNOHANG) == 0;
            break;
        }
        if (::waitpid(child, nullptr, WNOHANG) != 0)
            break;
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(raisedWhileChecking) << "the counter was not raised before the comparison";
    TokenRecord token;
    ASSERT_EQ(watcher->readToken(token), CKR_OK);
    EXPECT_EQ(token.userFailures, 1);
}

TEST_F(StoreProcesses, KilledWriterLeavesEveryCommittedObject) {
    createBigToken();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = spawn([this, &fds] {
        ::close(fds[0]);
        std::unique_ptr<TokenDatabase> db;
        if (TokenDatabase::open(config_, "alpha", db) != CKR_OK)
            return 10;
        for (int i = 0;; ++i) {
            ObjectRecord o = object(false, "object-" + std::to_string(i) + std::string(300, 'z'));
            if (db->createObject(nullptr, o) != CKR_OK)
                return 11;
            // Reported only once committed.
            if (::write(fds[1], &o.id, sizeof o.id) != sizeof o.id)
                return 12;
        }
    });
    ::close(fds[1]);

    std::vector<std::uint64_t> committed;
    std::uint64_t id = 0;
    while (committed.size() < 40 && ::read(fds[0], &id, sizeof id) == sizeof id)
        committed.push_back(id);
    ASSERT_EQ(committed.size(), 40u) << "the writer stopped early";
    ::kill(child, SIGKILL);
    EXPECT_EQ(exitStatus(child), 128 + SIGKILL);
    while (::read(fds[0], &id, sizeof id) == sizeof id)
        committed.push_back(id);
    ::close(fds[0]);

    std::unique_ptr<TokenDatabase> db;
    ASSERT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);
    std::vector<ObjectRecord> objects;
    ASSERT_EQ(db->readObjects(nullptr, objects), CKR_OK);
    std::set<std::uint64_t> present;
    std::uint64_t used = 0;
    for (const auto& o : objects) {
        present.insert(o.id);
        used += objectSize(o.attributes);
    }
    for (const auto c : committed)
        EXPECT_TRUE(present.count(c)) << "object " << c << " was committed but is gone";
    // At most the one object committed after the last report may be extra.
    EXPECT_LE(present.size(), committed.size() + 1);
    TokenRecord token;
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.publicMemoryUsed, used);
    // And the token still takes writes.
    ObjectRecord o = object(false, "after");
    EXPECT_EQ(db->createObject(nullptr, o), CKR_OK);
}

} // namespace
} // namespace softtoken::store::test
