// A program that loads the module for a user who never made a token must leave that user's
// home as it was: no store folder, no slot table, no event log.
#include "ModuleFixture.h"

#include <filesystem>
#include <optional>

namespace softtoken::module::test {
namespace {

class softtoken_module_NoStore : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        home_ = root_ + "/home";
        std::filesystem::create_directory(home_);
        unsetenv("MERIDIA_TOKEN_CONF");
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        }
        setenv("HOME", home_.c_str(), 1);
        setenv("XDG_DATA_HOME", (home_ + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home_ + "/config").c_str(), 1);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        ModuleTest::TearDown();
    }
    bool homeIsEmpty() const { return std::filesystem::is_empty(home_); }
    CK_ULONG slotsWithTokens() {
        CK_ULONG count = 0;
        EXPECT_EQ(f()->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
        return count;
    }

    std::string home_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(softtoken_module_NoStore, InitializeCreatesNothingAndATokenMadeLaterStillShows) {
    ASSERT_EQ(initialize(), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(f()->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(slotsWithTokens(), 0u);
    CK_SLOT_INFO info{};
    ASSERT_EQ(f()->C_GetSlotInfo(1, &info), CKR_OK);
    EXPECT_EQ(info.flags & CKF_TOKEN_PRESENT, 0u);
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(f()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    EXPECT_TRUE(homeIsEmpty());
    ASSERT_EQ(f()->C_Finalize(nullptr), CKR_OK);
    EXPECT_TRUE(homeIsEmpty());

    // The user then makes a token, as tokenctl does, while a program has the module loaded.
    ASSERT_EQ(initialize(), CKR_OK);
    std::string error;
    const auto config = store::Config::load("MERIDIA_TOKEN_CONF", "meridiaCsp11_2001", &error);
    ASSERT_TRUE(config) << error;
    store::InitRequest request;
    request.label = "Later";
    request.soPin = store::SecureBytes(kSoPin, std::strlen(kSoPin));
    request.userPin = store::SecureBytes(kUserPin, std::strlen(kUserPin));
    ASSERT_EQ(store::TokenDatabase::create(*config, "later", request), CKR_OK);
    std::unique_ptr<store::SlotTable> slots;
    ASSERT_EQ(store::SlotTable::open(*config, slots), CKR_OK);
    ASSERT_EQ(slots->insert(0, "later"), CKR_OK);
    std::unique_ptr<store::EventLog> log;
    ASSERT_EQ(store::EventLog::open(*config, log), CKR_OK);
    ASSERT_EQ(log->append({0, E_EVENT_TOKEN_INSERTED, 7}), CKR_OK);

    EXPECT_FALSE(homeIsEmpty());
    EXPECT_EQ(slotsWithTokens(), 1u);
    EXPECT_EQ(f()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(slot, 1u);
}

} // namespace
} // namespace softtoken::module::test
