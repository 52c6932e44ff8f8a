#include "TestStore.h"

#include "softtoken/store/Config.h"

#include <filesystem>

namespace softtoken::store::test {
namespace {

TEST(StoreConfig, EmptyTextGivesDefaultsAndDefaultStore) {
    std::string error;
    const auto config = Config::parse("", "/var/store", &error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->storeDir, "/var/store");
    EXPECT_EQ(config->slotCount, 2u);
    EXPECT_EQ(config->pinIterations, 200000u);
    EXPECT_EQ(config->maxRetries, 6);
}

TEST(StoreConfig, ReadsEveryKeyIgnoringCommentsAndBlanks) {
    const std::string text = "# settings\n"
                             "\n"
                             "store_dir = /srv/tokens/\n"
                             "  slots=4  \r\n"
                             "pin_iterations = 5\n"
                             "rsa_min_bits = 2048\n"
                             "rsa_max_bits = 2048\n"
                             "public_memory = 64000\n"
                             "private_memory = 0\n"
                             "min_pin_len = 6\n"
                             "max_pin_len = 8\n"
                             "max_retries = 0\n";
    std::string error;
    const auto config = Config::parse(text, "/unused", &error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->storeDir, "/srv/tokens");
    EXPECT_EQ(config->slotCount, 4u);
    EXPECT_EQ(config->pinIterations, 5u);
    EXPECT_EQ(config->rsaMinBits, 2048u);
    EXPECT_EQ(config->rsaMaxBits, 2048u);
    EXPECT_EQ(config->publicMemory, 64000u);
    EXPECT_EQ(config->privateMemory, 0u);
    EXPECT_EQ(config->minPinLen, 6u);
    EXPECT_EQ(config->maxPinLen, 8u);
    EXPECT_EQ(config->maxRetries, 0);
}

TEST(StoreConfig, RefusesBadFilesNamingTheLine) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"slots = 2\nslot = 3\n", "line 2: unknown key \"slot\""},
        {"just words\n", "line 1: expected"},
        {"slots = two\n", "line 1: slots must be a whole number from 1 to 32"},
        {"slots = 0\n", "from 1 to 32"},
        {"slots = -1\n", "from 1 to 32"},
        {"slots = 3x\n", "from 1 to 32"},
        {"max_retries = 256\n", "from 0 to 255"},
        {"public_memory = 4294967296\n", "public_memory"},
        {"pin_iterations =\n", "pin_iterations"},
        {"slots = 2\nslots = 3\n", "line 2: \"slots\" is set twice"},
        {"store_dir = relative/path\n", "absolute"},
        {"min_pin_len = 9\nmax_pin_len = 8\n", "min_pin_len is larger"},
        {"rsa_min_bits = 4096\nrsa_max_bits = 2048\n", "rsa_min_bits is larger"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(Config::parse(c.text, "/d", &error)) << c.text;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.text << " gave: " << error;
    }
}

class StoreConfigLoad : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        for (const char* var : {"KORVAN_TEST_CONF", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
            const char* v = std::getenv(var);
            saved_.emplace_back(var, v ? std::optional<std::string>(v) : std::nullopt);
        }
        ::unsetenv("KORVAN_TEST_CONF");
        ::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
    }
    void TearDown() override {
        for (const auto& [var, value] : saved_)
            value ? ::setenv(var, value->c_str(), 1) : ::unsetenv(var);
        StoreTest::TearDown();
    }
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST_F(StoreConfigLoad, MissingDefaultFileGivesDefaultsUnderDataHome) {
    std::string error;
    const auto config = Config::load("KORVAN_TEST_CONF", "modname", &error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->storeDir, root_ + "/data/korvanng/modname");
    EXPECT_EQ(config->slotCount, 2u);
}

TEST_F(StoreConfigLoad, ReadsDefaultFileUnderConfigHome) {
    std::filesystem::create_directories(root_ + "/config/korvanng");
    writeFile(root_ + "/config/korvanng/modname.conf", "slots = 5\n");
    std::string error;
    const auto config = Config::load("KORVAN_TEST_CONF", "modname", &error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->slotCount, 5u);
    EXPECT_EQ(config->storeDir, root_ + "/data/korvanng/modname");
}

TEST_F(StoreConfigLoad, FileNamedByVariableMustExistAndParse) {
    const std::string path = root_ + "/named.conf";
    ::setenv("KORVAN_TEST_CONF", path.c_str(), 1);
    std::string error;
    EXPECT_FALSE(Config::load("KORVAN_TEST_CONF", "modname", &error));
    EXPECT_NE(error.find(path), std::string::npos) << error;

    writeFile(path, "store_dir = /x/y\nbogus = 1\n");
    EXPECT_FALSE(Config::load("KORVAN_TEST_CONF", "modname", &error));
    EXPECT_NE(error.find("line 2: unknown key"), std::string::npos) << error;

    writeFile(path, "store_dir = /x/y\n");
    const auto config = Config::load("KORVAN_TEST_CONF", "modname", &error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->storeDir, "/x/y");
}

} // namespace
} // namespace softtoken::store::test
