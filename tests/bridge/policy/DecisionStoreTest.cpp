#include "bridge/policy/DecisionStore.h"

#include "TempRegistry.h"
#include "bridge/policy/StateFiles.h"
#include "platform/Registry.h"

#include <QFile>

#include <thread>

namespace {

using bridge::policy::Decision;
using bridge::policy::DecisionStore;

using DecisionStoreTest = TempRegistry;

TEST_F(DecisionStoreTest, RememberedDecisionsOutliveTheStoreObject) {
    {
        DecisionStore store;
        EXPECT_EQ(store.decision("https://a.b"), Decision::undecided);
        EXPECT_TRUE(store.remember("https://a.b", Decision::allowed));
        EXPECT_TRUE(store.remember("https://c.d:8443", Decision::denied, true));
    }
    DecisionStore later;
    EXPECT_TRUE(later.storeReadable());
    EXPECT_EQ(later.decision("https://a.b"), Decision::allowed);
    EXPECT_EQ(later.decision("https://c.d:8443"), Decision::denied);
    EXPECT_EQ(later.list(), (std::vector<std::pair<std::string, Decision>>{
                                {"https://a.b", Decision::allowed}, {"https://c.d:8443", Decision::denied}}));
}

TEST_F(DecisionStoreTest, SessionDecisionsStayInTheObjectAndWinOverStoredOnes) {
    DecisionStore store;
    ASSERT_TRUE(store.remember("https://a.b", Decision::allowed));
    EXPECT_TRUE(store.remember("https://a.b", Decision::denied, false));
    EXPECT_TRUE(store.remember("http://localhost:3000", Decision::denied, false));
    EXPECT_EQ(store.decision("https://a.b"), Decision::denied);
    EXPECT_EQ(store.decision("http://localhost:3000"), Decision::denied);

    DecisionStore other;
    EXPECT_EQ(other.decision("https://a.b"), Decision::allowed);
    EXPECT_EQ(other.decision("http://localhost:3000"), Decision::undecided);
    EXPECT_EQ(store.list(), (std::vector<std::pair<std::string, Decision>>{{"https://a.b", Decision::allowed}}));

    // Remembering for good replaces what was decided for the run.
    EXPECT_TRUE(store.remember("http://localhost:3000", Decision::allowed));
    EXPECT_EQ(store.decision("http://localhost:3000"), Decision::allowed);
}

TEST_F(DecisionStoreTest, ForgetDropsBothKindsAndIsSeenByOtherObjectsAtOnce) {
    DecisionStore running;
    ASSERT_TRUE(running.remember("https://a.b", Decision::allowed));
    ASSERT_TRUE(running.remember("https://c.d", Decision::denied, false));

    DecisionStore commandLine;
    EXPECT_TRUE(commandLine.forget("https://a.b"));
    EXPECT_EQ(running.decision("https://a.b"), Decision::undecided);
    EXPECT_TRUE(running.list().empty());

    EXPECT_TRUE(running.forget("https://c.d"));
    EXPECT_EQ(running.decision("https://c.d"), Decision::undecided);
    EXPECT_TRUE(running.forget("https://never.seen"));
}

TEST_F(DecisionStoreTest, RefusesOriginsThatAreNotNormalized) {
    DecisionStore store;
    for (const char* bad : {"HTTPS://a.b", "https://a.b:443", "https://a.b\\..\\x", "", "null"}) {
        EXPECT_FALSE(store.remember(bad, Decision::allowed)) << bad;
        EXPECT_FALSE(store.remember(bad, Decision::allowed, false)) << bad;
        EXPECT_EQ(store.decision(bad), Decision::undecided) << bad;
        EXPECT_FALSE(store.forget(bad)) << bad;
    }
    EXPECT_FALSE(platform::RegistryKey::open(platform::RegistryRoot::CurrentUser, "Software\\KorvanNG"));
}

TEST_F(DecisionStoreTest, ADamagedStoreReportsFailureAndIsNeverOverwritten) {
    DecisionStore store;
    ASSERT_TRUE(store.remember("https://a.b", Decision::allowed));
    const std::string path = bridge::policy::state::folder() + "/decisions";
    // A hand edit with a word of its own, a line cut short, another file's header.
    for (const char* damage : {"korvanng-bridge decisions 1\nhttps://a.b\tmaybe\n",
                               "korvanng-bridge decisions 1\nhttps://a.b\tallowed",
                               "korvanng-bridge decisions 1\nnot an origin\tallowed\n",
                               "korvanng-bridge decisions 1\nhttps://a.b\tallowed\nhttps://a.b\tdenied\n",
                               "korvanng-bridge decrypt-calls 1\n"}) {
        {
            QFile file(QString::fromStdString(path));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(damage);
        }
        EXPECT_FALSE(store.storeReadable()) << damage;
        EXPECT_FALSE(bridge::policy::lastError().empty());
        EXPECT_FALSE(store.remember("https://c.d", Decision::allowed)) << damage;
        EXPECT_FALSE(store.forget("https://a.b")) << damage;
        EXPECT_EQ(store.decision("https://a.b"), Decision::undecided) << damage;
        EXPECT_TRUE(store.list().empty());
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll().toStdString(), damage);
    }
}

TEST_F(DecisionStoreTest, ConcurrentUseLosesNoDecision) {
    DecisionStore store;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&store, i] {
            for (int j = 0; j < 5; ++j) {
                const std::string origin = "https://t" + std::to_string(i) + "-" + std::to_string(j) + ".test";
                store.remember(origin, Decision::allowed, j % 2 == 0);
                store.decision(origin);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(store.list().size(), 12u);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 5; ++j) {
            const std::string origin = "https://t" + std::to_string(i) + "-" + std::to_string(j) + ".test";
            EXPECT_EQ(store.decision(origin), Decision::allowed) << origin;
        }
    }
}

} // namespace
