#include "TestStore.h"

#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>

namespace softtoken::store::test {
namespace {

struct Result {
    int status = -1;
    std::string output; // stdout and stderr together
};

class Tokenctl : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        conf_ = root_ + "/token.conf";
        writeFile(conf_, "store_dir = " + config_.storeDir + "\npin_iterations = 100\n");
    }

    // Runs tokenctl with the test's configuration; prefix goes before the program
    // (environment assignments, a pipe feeding stdin).
    Result run(const std::string& args, const std::string& prefix = "") const {
        const std::string command = prefix + " env -u MERIDIA_TOKEN_CONF -u SKYRA_TOKEN_CONF " +
                                    TOKENCTL_PATH + " --conf " + conf_ + " " + args + " 2>&1";
        Result result;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe)
            return result;
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
            result.output.append(buf, n);
        const int status = ::pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

    std::string conf_;
};

TEST_F(Tokenctl, HelpDocumentsCommandsAndExitCodes) {
    const Result r = run("--help");
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"create", "list", "insert", "remove", "delete", "--pins-stdin",
                             "Prefer --pins-stdin", "0 success, 1 usage error, 2"})
        EXPECT_NE(r.output.find(word), std::string::npos) << word;
}

TEST_F(Tokenctl, CreateInsertListRemoveDelete) {
    Result r = run("create alpha --label 'My Token' --so-pin so-secret --user-pin user-secret "
                   "--so-retries 4 --user-retries 5 --public-memory 1234 --private-memory 4321");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("secret"), std::string::npos) << "PINs must not be echoed";
    EXPECT_NE(r.output.find("warning: PINs on the command line are visible to other users"),
              std::string::npos)
        << r.output;

    std::unique_ptr<TokenDatabase> db;
    ASSERT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);
    TokenRecord token;
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.label, "My Token");
    EXPECT_EQ(token.soRetryLimit, 4);
    EXPECT_EQ(token.userRetryLimit, 5);
    EXPECT_EQ(token.publicMemoryTotal, 1234u);
    EXPECT_EQ(token.privateMemoryTotal, 4321u);
    SecureBytes key;
    EXPECT_EQ(db->login(CKU_USER, pin("user-secret"), key), CKR_OK);
    EXPECT_EQ(db->login(CKU_SO, pin("so-secret"), key), CKR_OK);

    std::unique_ptr<EventLog> events;
    ASSERT_EQ(EventLog::open(config_, events), CKR_OK);
    // Slot 2 is the second reader (index 1 in the log and the slot table).
    r = run("insert alpha --slot 2");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("into slot 2"), std::string::npos) << r.output;
    r = run("list");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("1: empty"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("2: \"alpha\""), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("in slot 2"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("label \"My Token\""), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(token.serial), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("0/1234"), std::string::npos) << r.output;

    r = run("delete alpha");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("remove it first"), std::string::npos) << r.output;
    r = run("remove --slot 2");
    ASSERT_EQ(r.status, 0) << r.output;

    auto e = events->next();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->slot, 1u);
    EXPECT_EQ(e->code, 1u);
    e = events->next();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, 2u);
    EXPECT_FALSE(events->next());

    db.reset();
    r = run("delete alpha");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(TokenDatabase::list(config_).empty());
}

TEST_F(Tokenctl, PinsFromStdinAndModuleChoice) {
    Result r = run("create beta --pins-stdin", "printf 'so-pin-1\\nuser-pin-1\\n' |");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("warning"), std::string::npos) << r.output;
    std::unique_ptr<TokenDatabase> db;
    ASSERT_EQ(TokenDatabase::open(config_, "beta", db), CKR_OK);
    SecureBytes key;
    EXPECT_EQ(db->login(CKU_SO, pin("so-pin-1"), key), CKR_OK);
    EXPECT_EQ(db->login(CKU_USER, pin("user-pin-1"), key), CKR_OK);

    // Without --conf, --module skyra reads SKYRA_TOKEN_CONF.
    const std::string other = root_ + "/other.conf";
    writeFile(other, "store_dir = " + root_ + "/other\nslots = 3\n");
    const std::string command = "SKYRA_TOKEN_CONF=" + other + " MERIDIA_TOKEN_CONF=/nonexistent " +
                                TOKENCTL_PATH + " --module skyra list 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, n);
    EXPECT_EQ(WEXITSTATUS(::pclose(pipe)), 0) << out;
    EXPECT_NE(out.find(root_ + "/other"), std::string::npos) << out;
    EXPECT_NE(out.find("3: empty"), std::string::npos) << out;
}

// A long-lived process keeps its slot table open while tokenctl swaps tokens, and meanwhile opens
// (and drops) other slot tables of the same store, as every further module instance in it does.
// Its view must follow every swap, not stop at the state from before the other instance came.
TEST_F(Tokenctl, SwapsStayVisibleWhileTheProcessOpensMoreSlotTables) {
    for (const char* name : {"t0", "t1", "t2", "t3", "t4"})
        ASSERT_EQ(run(std::string("create ") + name + " --so-pin so-secret --user-pin user-secret")
                      .status,
                  0);
    ASSERT_EQ(run("insert t0 --slot 1").status, 0);
    std::unique_ptr<SlotTable> longLived;
    ASSERT_EQ(SlotTable::open(config_, longLived), CKR_OK);
    ASSERT_EQ(longLived->tokenIn(0), "t0");
    for (int i = 1; i <= 4; ++i) {
        {
            std::unique_ptr<SlotTable> shortLived;
            ASSERT_EQ(SlotTable::open(config_, shortLived), CKR_OK);
            EXPECT_TRUE(shortLived->tokenIn(0));
        }
        const std::string name = "t" + std::to_string(i);
        ASSERT_EQ(run("remove --slot 1").status, 0);
        ASSERT_EQ(run("insert " + name + " --slot 1").status, 0);
        EXPECT_EQ(longLived->tokenIn(0), name) << "after swap " << i;
        EXPECT_EQ(longLived->readerOf(name), 0u) << "after swap " << i;
    }
    // The table's files keep owner-only permissions.
    for (const char* file : {"/slots.db", "/slots.db-wal", "/slots.db-shm"}) {
        struct stat st {};
        if (::stat((config_.storeDir + file).c_str(), &st) == 0) {
            EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
        }
    }
}

TEST_F(Tokenctl, StoreFolderOthersMayWriteIsRefusedWithAReason) {
    ASSERT_EQ(::mkdir(config_.storeDir.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(config_.storeDir.c_str(), 0777), 0);
    for (const char* args : {"list", "create alpha --pins-stdin", "delete alpha"}) {
        const Result r = run(args, "printf 'so-secret\\nuser-secret\\n' |");
        EXPECT_EQ(r.status, 2) << args << "\n" << r.output;
        EXPECT_NE(r.output.find("refusing the store folder " + config_.storeDir +
                                ": other users may write to it (mode 0777)"),
                  std::string::npos)
            << args << "\n"
            << r.output;
    }
    EXPECT_FALSE(std::filesystem::exists(tokenFile()));
}

TEST_F(Tokenctl, BadInputIsExplained) {
    ASSERT_EQ(run("create alpha --so-pin so-secret --user-pin user-secret").status, 0);
    ASSERT_EQ(run("insert alpha --slot 1").status, 0);
    const struct {
        const char* args;
        int status;
        const char* message;
    } cases[] = {
        {"", 1, "no command"},
        {"frobnicate", 1, "unknown command \"frobnicate\""},
        {"list --colour red", 1, "unknown option --colour"},
        {"insert alpha --slot x", 1, "--slot needs a whole number from 1 to 2"},
        {"insert alpha --slot 0", 1, "from 1 to 2"},
        {"insert alpha --slot 3", 1, "from 1 to 2"},
        {"insert alpha", 1, "missing --slot"},
        {"remove", 1, "missing --slot"},
        {"delete", 1, "missing token NAME"},
        {"delete a b", 1, "unexpected argument \"b\""},
        {"create gamma --so-pin 12 --user-pin user-secret", 1, "PINs must be 4 to 16"},
        {"create gamma --so-pin so-secret", 1, "needs --so-pin and --user-pin"},
        {"create gamma --so-pin so-secret --user-pin user-secret --so-retries 300", 1,
         "from 0 to 255"},
        {"create gamma --so-pin so-secret --user-pin user-secret --label "
         "123456789012345678901234567890123",
         1, "longer than 32"},
        {"create ../x --so-pin so-secret --user-pin user-secret", 1, "token names use"},
        {"--module other list", 1, "--module is meridia or skyra"},
        {"list --conf", 1, "--conf needs a value"},
        {"create alpha --so-pin so-secret --user-pin user-secret", 2, "already exists"},
        {"insert nothere --slot 2", 2, "no token named \"nothere\""},
        {"insert alpha --slot 2", 2, "already in slot 1"},
        {"insert alpha --slot 1", 2, "slot 1 already holds"},
        {"remove --slot 2", 2, "slot 2 is empty"},
        {"delete nothere", 2, "no token named"},
        {"delete alpha", 2, "remove it first"},
    };
    for (const auto& c : cases) {
        const Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    }
    const std::string missing = root_ + "/missing.conf";
    const Result r = run("list --conf " + missing);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find(missing), std::string::npos) << r.output;
}

} // namespace
} // namespace softtoken::store::test
