// The bridge's own state folder: where it is, that it is the user's alone, and the one-time move
// of decisions and counts out of the registry store, which workers can write.
#include "bridge/policy/DecisionStore.h"
#include "bridge/policy/DecryptLimiter.h"
#include "bridge/policy/StateFiles.h"

#include "TempRegistry.h"
#include "platform/Registry.h"

#include <QFile>

#include <chrono>
#include <cstdlib>
#include <sys/stat.h>

namespace {

using bridge::policy::Decision;
using bridge::policy::DecisionStore;
using bridge::policy::DecryptLimiter;
using platform::RegistryKey;
using platform::RegistryRoot;
using Clock = std::chrono::system_clock;

const Clock::time_point kStart = Clock::time_point(std::chrono::seconds(1'800'000'000));

class BridgeStoreTest : public TempRegistry {
protected:
    // An entry as an older bridge, or a worker, would have written it.
    static void plant(const std::string& origin, const char* name, const std::string& value) {
        auto key = RegistryKey::create(RegistryRoot::CurrentUser, bridge::policy::originKeyPath(origin));
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->setString(name, value));
    }
    static std::string tenCallsAt(Clock::time_point when) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
        std::string stamps;
        for (int i = 0; i < 10; ++i)
            stamps.append(std::to_string(seconds)).append(" ");
        return stamps;
    }
};

TEST_F(BridgeStoreTest, OldEntriesAreMovedOutOfTheRegistryStoreOnFirstUse) {
    plant("https://a.b", "Decision", "allowed");
    plant("https://c.d:8443", "Decision", "denied");
    plant("https://c.d:8443", "DecryptCalls", tenCallsAt(kStart));
    plant("https://e.f", "Decision", "maybe");
    ASSERT_TRUE(RegistryKey::create(RegistryRoot::CurrentUser, "Software\\KorvanNG\\Bridge\\Origins\\not an origin"));

    DecisionStore store;
    EXPECT_TRUE(store.storeReadable());
    EXPECT_EQ(store.list(), (std::vector<std::pair<std::string, Decision>>{
                                {"https://a.b", Decision::allowed}, {"https://c.d:8443", Decision::denied}}));
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::CurrentUser, "Software\\KorvanNG\\Bridge\\Origins"));
    // The counts came along: the minute is used up.
    DecryptLimiter limiter;
    EXPECT_FALSE(limiter.tryConsume("https://c.d:8443", kStart + std::chrono::seconds(1)));
    EXPECT_TRUE(limiter.tryConsume("https://a.b", kStart + std::chrono::seconds(1)));
}

TEST_F(BridgeStoreTest, EntriesPlantedInTheRegistryStoreAfterTheMoveAreNotHonoured) {
    DecisionStore store;
    ASSERT_TRUE(store.remember("https://c.d", Decision::denied));

    // What a worker running as the user could write.
    plant("https://evil.example", "Decision", "allowed");
    plant("https://c.d", "Decision", "allowed");
    plant("https://a.b", "DecryptCalls", tenCallsAt(kStart)); // would block a.b
    DecisionStore later;
    EXPECT_EQ(later.decision("https://evil.example"), Decision::undecided);
    EXPECT_EQ(later.decision("https://c.d"), Decision::denied);
    EXPECT_EQ(later.list(), (std::vector<std::pair<std::string, Decision>>{{"https://c.d", Decision::denied}}));
    DecryptLimiter limiter;
    EXPECT_TRUE(limiter.tryConsume("https://a.b", kStart + std::chrono::seconds(1)));
    // And they are left where they are, never read.
    EXPECT_TRUE(RegistryKey::open(RegistryRoot::CurrentUser, bridge::policy::originKeyPath("https://evil.example")));
}

TEST_F(BridgeStoreTest, ARegistryStoreThatCannotBeReadLeavesTheStateUnusableUntilRepaired) {
    plant("https://a.b", "Decision", "denied");
    const QString registry = QString::fromStdString(platform::registryFilePath(RegistryRoot::CurrentUser));
    ASSERT_TRUE(QFile::rename(registry, registry + ".kept"));
    {
        QFile file(registry);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("{ damaged");
    }
    DecisionStore store;
    DecryptLimiter limiter;
    // Going on without the old denial would let the origin be asked again, and its count restart.
    EXPECT_FALSE(store.storeReadable());
    EXPECT_FALSE(store.remember("https://a.b", Decision::allowed));
    EXPECT_FALSE(limiter.tryConsume("https://a.b", kStart));

    ASSERT_TRUE(QFile::remove(registry));
    ASSERT_TRUE(QFile::rename(registry + ".kept", registry));
    EXPECT_EQ(store.decision("https://a.b"), Decision::denied);
    EXPECT_TRUE(limiter.tryConsume("https://a.b", kStart));
}

TEST_F(BridgeStoreTest, TheFolderIsMadeOwnerOnlyAndAFolderOthersMayWriteIsRefused) {
    const std::string folder = dir_.path().toStdString() + "/state/korvanng/bridge";
    setenv("KORVAN_BRIDGE_STATE_DIR", folder.c_str(), 1);
    EXPECT_EQ(bridge::policy::state::folder(), folder);
    DecisionStore store;
    ASSERT_TRUE(store.remember("https://a.b", Decision::allowed));
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(folder + "/decisions")));

    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    EXPECT_FALSE(store.storeReadable());
    EXPECT_EQ(store.decision("https://a.b"), Decision::undecided);
    EXPECT_FALSE(store.remember("https://c.d", Decision::allowed));
    unsetenv("KORVAN_BRIDGE_STATE_DIR");
}

TEST_F(BridgeStoreTest, AnOversizedStateFileIsUnreadableAndNotRead) {
    DecisionStore store;
    ASSERT_TRUE(store.remember("https://a.b", Decision::allowed));
    {
        QFile file(QString::fromStdString(bridge::policy::state::folder() + "/decisions"));
        ASSERT_TRUE(file.open(QIODevice::Append));
        ASSERT_TRUE(file.resize(file.size() + (2 << 20)));
    }
    EXPECT_FALSE(store.storeReadable());
    EXPECT_NE(bridge::policy::lastError().find("larger than"), std::string::npos) << bridge::policy::lastError();
}

} // namespace
