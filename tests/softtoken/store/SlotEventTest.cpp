#include "TestStore.h"

#include <unistd.h>

namespace softtoken::store::test {
namespace {

using Slots = StoreTest;
using Events = StoreTest;

TEST_F(Slots, InsertRemoveAndErrors) {
    makeToken("alpha");
    makeToken("beta");
    std::unique_ptr<SlotTable> slots;
    ASSERT_EQ(SlotTable::open(config_, slots), CKR_OK);
    EXPECT_EQ(slots->slotCount(), 2u);
    EXPECT_FALSE(slots->tokenIn(0));

    ASSERT_EQ(slots->insert(0, "alpha"), CKR_OK);
    EXPECT_EQ(slots->tokenIn(0), "alpha");
    EXPECT_EQ(slots->readerOf("alpha"), 0u);
    EXPECT_EQ(slots->insert(0, "beta"), CKR_ARGUMENTS_BAD);  // occupied
    EXPECT_EQ(slots->insert(1, "alpha"), CKR_ARGUMENTS_BAD); // in another reader
    EXPECT_EQ(slots->insert(1, "gamma"), CKR_ARGUMENTS_BAD); // unknown token
    EXPECT_EQ(slots->insert(2, "beta"), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(slots->remove(2), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(slots->remove(1), CKR_TOKEN_NOT_PRESENT);
    EXPECT_FALSE(slots->tokenIn(7));

    // Another process's view of the table agrees.
    std::unique_ptr<SlotTable> other;
    ASSERT_EQ(SlotTable::open(config_, other), CKR_OK);
    EXPECT_EQ(other->tokenIn(0), "alpha");
    ASSERT_EQ(other->remove(0), CKR_OK);
    EXPECT_FALSE(slots->tokenIn(0));
    EXPECT_FALSE(slots->readerOf("alpha"));
    EXPECT_EQ(slots->insert(1, "alpha"), CKR_OK);
}

TEST_F(Events, EachReaderGetsEveryLaterEventOnceInOrder) {
    std::unique_ptr<EventLog> writer;
    ASSERT_EQ(EventLog::open(config_, writer), CKR_OK);
    ASSERT_EQ(writer->append({0, 1, 42}), CKR_OK); // before the readers opened

    std::unique_ptr<EventLog> first, second;
    ASSERT_EQ(EventLog::open(config_, first), CKR_OK);
    ASSERT_EQ(EventLog::open(config_, second), CKR_OK);
    EXPECT_FALSE(first->next());

    ASSERT_EQ(writer->append({1, 1, 7}), CKR_OK);
    ASSERT_EQ(writer->append({1, 2, 7}), CKR_OK);
    ASSERT_EQ(writer->append({0, 269, 9}), CKR_OK);
    for (EventLog* reader : {first.get(), second.get()}) {
        auto e = reader->next();
        ASSERT_TRUE(e);
        EXPECT_EQ(e->slot, 1u);
        EXPECT_EQ(e->code, 1u);
        EXPECT_EQ(e->origin, 7u);
        e = reader->next();
        ASSERT_TRUE(e);
        EXPECT_EQ(e->code, 2u);
        e = reader->next();
        ASSERT_TRUE(e);
        EXPECT_EQ(e->slot, 0u);
        EXPECT_EQ(e->code, 269u);
        EXPECT_FALSE(reader->next());
        EXPECT_FALSE(reader->next());
    }
}

TEST_F(Events, ReaderRecoversFromTruncatedOrReplacedLog) {
    std::unique_ptr<EventLog> log;
    ASSERT_EQ(EventLog::open(config_, log), CKR_OK);
    for (CK_ULONG i = 0; i < 4; ++i)
        ASSERT_EQ(log->append({0, 6, i}), CKR_OK);
    while (log->next()) {
    }
    const std::string path = config_.storeDir + "/events.log";
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    EXPECT_FALSE(log->next());
    ASSERT_EQ(log->append({1, 8, 5}), CKR_OK);
    auto e = log->next();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, 8u);

    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_FALSE(log->next());
    ASSERT_EQ(log->append({1, 7, 6}), CKR_OK); // recreates the file
    e = log->next();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, 7u);
    EXPECT_FALSE(log->next());
}

TEST_F(Events, UnfinishedRecordIsWaitedForThenSkippedIfNeverCompleted) {
    std::unique_ptr<EventLog> log;
    ASSERT_EQ(EventLog::open(config_, log), CKR_OK);
    const std::string path = config_.storeDir + "/events.log";
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out << std::string(32, '\0');
    }
    EXPECT_FALSE(log->next());
    ASSERT_EQ(log->append({1, 2, 3}), CKR_OK);
    auto e = log->next();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, 2u);
}

TEST_F(Events, AppendsFromManyProcessesStayWhole) {
    std::unique_ptr<EventLog> log;
    ASSERT_EQ(EventLog::open(config_, log), CKR_OK);
    constexpr int kProcs = 4, kEach = 200;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcs; ++p) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::unique_ptr<EventLog> own;
            if (EventLog::open(config_, own) != CKR_OK)
                ::_exit(1);
            for (int i = 0; i < kEach; ++i)
                if (own->append({static_cast<CK_SLOT_ID>(p), 1, static_cast<std::uint64_t>(i)}) !=
                    CKR_OK)
                    ::_exit(2);
            ::_exit(0);
        }
        pids.push_back(pid);
    }
    for (const pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0);
    }
    std::vector<std::uint64_t> nextOrigin(kProcs, 0);
    int count = 0;
    while (auto e = log->next()) {
        ASSERT_LT(e->slot, static_cast<CK_SLOT_ID>(kProcs));
        EXPECT_EQ(e->origin, nextOrigin[e->slot]++); // each writer's events in its order
        ++count;
    }
    EXPECT_EQ(count, kProcs * kEach);
}

} // namespace
} // namespace softtoken::store::test
