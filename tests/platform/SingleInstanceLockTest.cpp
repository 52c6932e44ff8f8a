#include "platform/SingleInstanceLock.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

namespace {

constexpr const char* kInstance = "6F1C2A34-9B7D-4E21-A5C3-0D8E7F6A5B4C";

class SingleInstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        setenv("KORVAN_RUNTIME_DIR", dir_.path().toLocal8Bit().constData(), 1);
    }
    void TearDown() override { unsetenv("KORVAN_RUNTIME_DIR"); }

    QTemporaryDir dir_;
};

// What a crash between creating a lock file and writing its owner leaves behind.
void writeUnreadableLockFile(const std::string& path, bool old) {
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.close();
    if (old) {
        const time_t minuteAgo = time(nullptr) - 60;
        const utimbuf times{minuteAgo, minuteAgo};
        ASSERT_EQ(utime(path.c_str(), &times), 0);
    }
}

TEST(LockName, FormatsInstanceText) {
    EXPECT_EQ(platform::lockName(kInstance), std::string(kInstance) + "_mgr_mutex");
    EXPECT_EQ(platform::lockName(""), "_mgr_mutex");
    EXPECT_EQ(platform::lockName(nullptr), "_mgr_mutex");
    // The name buffer holds 260 bytes including the terminator.
    EXPECT_EQ(platform::lockName(std::string(300, 'A').c_str()), std::string(259, 'A'));
}

TEST_F(SingleInstanceLockTest, LockFileLivesInRuntimeFolder) {
    platform::SingleInstanceLock lock(kInstance);
    EXPECT_EQ(lock.lockFilePath(), dir_.path().toStdString() + "/" + kInstance + "_mgr_mutex.lock");
    ASSERT_TRUE(lock.tryAcquire());
    EXPECT_TRUE(QFile::exists(QString::fromStdString(lock.lockFilePath())));
}

TEST_F(SingleInstanceLockTest, SlashInInstanceTextStaysInsideFolder) {
    platform::SingleInstanceLock lock("../a/b");
    EXPECT_EQ(lock.lockFilePath(), dir_.path().toStdString() + "/.._a_b_mgr_mutex.lock");
    EXPECT_TRUE(lock.tryAcquire());
}

TEST_F(SingleInstanceLockTest, SecondHolderIsDetectedUntilRelease) {
    platform::SingleInstanceLock first(kInstance);
    ASSERT_EQ(first.acquire(), platform::SingleInstanceLock::Outcome::Acquired);
    EXPECT_TRUE(first.tryAcquire()); // holding it already is not a conflict

    platform::SingleInstanceLock second(kInstance);
    EXPECT_EQ(second.acquire(), platform::SingleInstanceLock::Outcome::HeldByAnother);
    EXPECT_FALSE(second.isHeld());

    platform::SingleInstanceLock other("another-instance");
    EXPECT_TRUE(other.tryAcquire());

    first.release();
    EXPECT_FALSE(first.isHeld());
    EXPECT_TRUE(second.tryAcquire());
}

TEST_F(SingleInstanceLockTest, LockHeldByAnotherProcessIsDetected) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        platform::SingleInstanceLock lock(kInstance);
        const char result = lock.tryAcquire() ? 'y' : 'n';
        (void)!write(ready[1], &result, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char result = 0;
    ASSERT_EQ(read(ready[0], &result, 1), 1);
    close(ready[0]);
    ASSERT_EQ(result, 'y');

    platform::SingleInstanceLock lock(kInstance);
    EXPECT_EQ(lock.acquire(), platform::SingleInstanceLock::Outcome::HeldByAnother);

    // A killed owner leaves its lock file behind; the next start takes it over.
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(lock.lockFilePath())));
    EXPECT_EQ(lock.acquire(), platform::SingleInstanceLock::Outcome::Acquired);
}

TEST_F(SingleInstanceLockTest, UnreadableLeftoverIsClearedOnlyWhenOldAndUnheld) {
    platform::SingleInstanceLock lock(kInstance);
    // Fresh: another process may be between creating the file and writing into it.
    writeUnreadableLockFile(lock.lockFilePath(), false);
    EXPECT_EQ(lock.acquire(), platform::SingleInstanceLock::Outcome::HeldByAnother);

    writeUnreadableLockFile(lock.lockFilePath(), true);
    EXPECT_EQ(lock.acquire(), platform::SingleInstanceLock::Outcome::Acquired);
}

TEST_F(SingleInstanceLockTest, UnreadableLockOfLiveOwnerIsKept) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const std::string path = platform::SingleInstanceLock(kInstance).lockFilePath();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        platform::SingleInstanceLock lock(kInstance);
        bool ok = lock.tryAcquire();
        // Blank out the owner while keeping the file, and its native lock, open.
        ok = ok && truncate(path.c_str(), 0) == 0;
        const time_t minuteAgo = time(nullptr) - 60;
        const utimbuf times{minuteAgo, minuteAgo};
        ok = ok && utime(path.c_str(), &times) == 0;
        const char result = ok ? 'y' : 'n';
        (void)!write(ready[1], &result, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char result = 0;
    EXPECT_EQ(read(ready[0], &result, 1), 1);
    close(ready[0]);
    EXPECT_EQ(result, 'y');

    platform::SingleInstanceLock lock(kInstance);
    EXPECT_EQ(lock.acquire(), platform::SingleInstanceLock::Outcome::HeldByAnother);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(path)));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST_F(SingleInstanceLockTest, UnusableFolderIsAnErrorNotAnotherInstance) {
    QFile blocker(dir_.filePath("not-a-folder"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    setenv("KORVAN_RUNTIME_DIR", dir_.filePath("not-a-folder/sub").toLocal8Bit().constData(), 1);
    platform::SingleInstanceLock lock(kInstance);
    EXPECT_EQ(lock.acquire(), platform::SingleInstanceLock::Outcome::Error);
    EXPECT_FALSE(lock.isHeld());
}

// Without a runtime folder the lock goes to the user's own folder in the shared temporary
// folder, where another user could otherwise plant the lock file first.
class TempFolderLockTest : public SingleInstanceLockTest {
protected:
    void SetUp() override {
        SingleInstanceLockTest::SetUp();
        unsetenv("KORVAN_RUNTIME_DIR");
        saveAndSet("XDG_RUNTIME_DIR", std::nullopt, savedRuntime_);
        saveAndSet("TMPDIR", dir_.path().toStdString(), savedTmp_);
        // Qt falls back to <temp>/runtime-<user>; a file there leaves it without a runtime folder.
        const passwd* user = getpwuid(geteuid());
        ASSERT_NE(user, nullptr);
        QFile blocker(dir_.filePath(QStringLiteral("runtime-") + user->pw_name));
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
        own_ = dir_.filePath("korvanng-" + QString::number(geteuid())).toStdString();
    }
    void TearDown() override {
        restore("XDG_RUNTIME_DIR", savedRuntime_);
        restore("TMPDIR", savedTmp_);
        SingleInstanceLockTest::TearDown();
    }

    static void saveAndSet(const char* name, const std::optional<std::string>& value,
                           std::optional<std::string>& saved) {
        if (const char* old = getenv(name))
            saved = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    static void restore(const char* name, const std::optional<std::string>& saved) {
        if (saved)
            setenv(name, saved->c_str(), 1);
        else
            unsetenv(name);
    }
    void expectRefused(const char* why) {
        platform::SingleInstanceLock lock(kInstance);
        EXPECT_EQ(lock.acquire(), platform::SingleInstanceLock::Outcome::Error) << why;
        EXPECT_FALSE(lock.isHeld()) << why;
        EXPECT_FALSE(QFile::exists(QString::fromStdString(lock.lockFilePath()))) << why;
    }

    std::optional<std::string> savedRuntime_, savedTmp_;
    std::string own_;
};

TEST_F(TempFolderLockTest, OwnFolderIsMadeOwnerOnlyAndHoldsTheLock) {
    EXPECT_EQ(platform::lockFolder(), own_);
    const mode_t old = umask(0);
    platform::SingleInstanceLock lock(kInstance);
    const auto outcome = lock.acquire();
    umask(old);
    EXPECT_EQ(outcome, platform::SingleInstanceLock::Outcome::Acquired);
    EXPECT_EQ(lock.lockFilePath().rfind(own_ + "/", 0), 0u) << lock.lockFilePath();
    struct stat st {};
    ASSERT_EQ(stat(own_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    platform::SingleInstanceLock second(kInstance);
    EXPECT_EQ(second.acquire(), platform::SingleInstanceLock::Outcome::HeldByAnother);
}

TEST_F(TempFolderLockTest, FolderOthersCanReachOrOwnIsRefused) {
    ASSERT_EQ(mkdir(own_.c_str(), 0700), 0);
    for (mode_t mode : {0755, 0770, 0701}) {
        ASSERT_EQ(chmod(own_.c_str(), mode), 0);
        expectRefused(("mode " + std::to_string(mode)).c_str());
    }
    ASSERT_EQ(chmod(own_.c_str(), 0700), 0);
    if (geteuid() == 0) { // only root can hand a folder to another user
        ASSERT_EQ(chown(own_.c_str(), 65534, 65534), 0);
        expectRefused("owned by nobody");
    }
    ASSERT_EQ(rmdir(own_.c_str()), 0);
    const std::string elsewhere = dir_.filePath("elsewhere").toStdString();
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), own_.c_str()), 0);
    expectRefused("a link");
}

} // namespace
